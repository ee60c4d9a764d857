#!/bin/sh
# Installs what is missing, builds with warnings as errors and runs every test; then builds
# again with AddressSanitizer and UndefinedBehaviorSanitizer and runs the unit tests.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-test -G Ninja -DKVZN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-test -j "$jobs"
ctest --test-dir build-test --output-on-failure -j "$jobs" --timeout 300

if [ "${KVZN_SKIP_SANITIZERS:-0}" != "1" ]; then
    cmake -S . -B build-asan -G Ninja -DKVZN_WERROR=ON -DKVZN_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build-asan -j "$jobs" --target kvzn_unit_tests
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -L unit --timeout 300
fi
