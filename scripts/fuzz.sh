#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for SECONDS (600 by default) on its seed corpus in fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (all targets when none is named)
# New inputs collect in build-fuzz/corpus/<target>, inputs that fail in
# build-fuzz/crashes/<target>-*, each run's output in build-fuzz/logs/<target>.log. The exit
# status is 1 when any target failed. KVZN_FUZZ_BUILD_DIR=DIR builds in DIR instead.
# KVZN_FUZZ_UNIT_TESTS=1 first builds the unit tests in the same tree and runs them, under
# AddressSanitizer and UndefinedBehaviorSanitizer built with clang; SECONDS 0 then runs no
# fuzz target.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --fuzz

seconds=${1:-600}
[ $# -gt 0 ] && shift
# Every target with a seed corpus in the tree.
targets=${*:-$(ls fuzz/corpus)}
build=${KVZN_FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
unit_tests=OFF
[ "${KVZN_FUZZ_UNIT_TESTS:-0}" = "1" ] && unit_tests=ON

# -O1 with line tables, as libFuzzer builds usually are: quick to build, fast enough to run.
cmake -S . -B "$build" -G Ninja -DKVZN_FUZZ=ON -DKVZN_WERROR=ON -DKVZN_TESTS=$unit_tests \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
if [ "$unit_tests" = "ON" ]; then
    cmake --build "$build" -j "$jobs" --target kvzn_unit_tests
    ctest --test-dir "$build" --output-on-failure -j "$jobs" -L unit --timeout 300
fi
[ "$seconds" = "0" ] && exit 0
cmake --build "$build" -j "$jobs" --target $targets

failed=""
for t in $targets; do
    mkdir -p "$build/corpus/$t" "$build/crashes" "$build/logs"
    # The first corpus folder takes the new inputs; the seeds in the tree stay as they are.
    if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$t-" "$build/corpus/$t" "fuzz/corpus/$t" \
        >"$build/logs/$t.log" 2>&1; then
        result="ok"
    else
        result="FAILED (see $build/logs/$t.log)"
        failed="$failed $t"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$t.log" | tail -n 1)
    echo "$t: ${runs:-?} executions in ${seconds} s, $result"
done
if [ -n "$failed" ]; then
    echo "Fuzz targets that failed:$failed" >&2
    exit 1
fi
