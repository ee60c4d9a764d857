#!/bin/sh
# Installs what is missing, checks the formatting, builds with warnings as errors and runs
# every test; then runs the unit tests again under ThreadSanitizer (gcc) and under
# AddressSanitizer and UndefinedBehaviorSanitizer (clang, in the fuzz targets' build, so the
# libraries are compiled once for both), and each fuzz target for a short time.
# KVZN_SKIP_SANITIZERS=1 leaves out the sanitizer runs of the unit tests, KVZN_SKIP_FUZZ=1
# the fuzz targets; KVZN_FUZZ_SECONDS sets each target's run (10 s).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)
stage_start=$started
# Prints how long the stage that just ended took.
stage_done() {
    now=$(date +%s)
    echo "== $1: $((now - stage_start)) s"
    stage_start=$now
}

# Line tables only: full debug information would double the build's time, and the line
# tables are enough for the traces of a failing test.
cmake -S . -B build-test -G Ninja -DKVZN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build build-test --target format_check
stage_done "format check"
cmake --build build-test -j "$jobs"
stage_done "build"
ctest --test-dir build-test --output-on-failure -j "$jobs" --timeout 300
stage_done "tests"

fuzz_seconds=${KVZN_FUZZ_SECONDS:-10}
[ "${KVZN_SKIP_FUZZ:-0}" = "1" ] && fuzz_seconds=0
if [ "${KVZN_SKIP_SANITIZERS:-0}" != "1" ]; then
    # -O1 with line tables: quicker to build, and enough for ThreadSanitizer's reports.
    cmake -S . -B build-tsan -G Ninja -DKVZN_WERROR=ON -DKVZN_TSAN=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null
    cmake --build build-tsan -j "$jobs" --target kvzn_unit_tests
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
        ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L unit --timeout 300
    stage_done "unit tests under TSan"

    KVZN_FUZZ_UNIT_TESTS=1 ./scripts/fuzz.sh "$fuzz_seconds"
    stage_done "unit tests under ASan and UBSan, fuzz targets"
elif [ "$fuzz_seconds" != "0" ]; then
    ./scripts/fuzz.sh "$fuzz_seconds"
    stage_done "fuzz targets"
fi
echo "== all stages: $(($(date +%s) - started)) s"
