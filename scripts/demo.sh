#!/bin/sh
# Installs what is missing, builds kvZNPrint and runs it in trace mode on a private demo
# configuration: store, home, data, HTML and images directories below ./demo.
# Stop it with Ctrl-C.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target kvZNPrint

demo="$(pwd)/demo"
mkdir -p "$demo/home" "$demo/images"
store="$demo/registry.reg"
if [ ! -f "$store" ]; then
    cat >"$store" <<REG
; kvZNPrint configuration store. Edit with kvZNPrintCfg; the service reads it at start.

[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion]
"Home"="$demo/home"
"DataDirectory"="$demo/home/data"
"HTMLTargetDirectory"="$demo/home/html"
"ImagesDirectory"="$demo/images"
"LogFile"="KVZN.LOG"
"LogLevel"=dword:00000004
REG
    chmod 600 "$store"
fi

echo "Configuration store: $store"
echo "Activity log:        $demo/home/KVZN.LOG"
exec ./build/src/kvZNPrint --registry "$store" /TRACE
