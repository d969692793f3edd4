#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, then
# the same tests under AddressSanitizer + UndefinedBehaviorSanitizer with leak
# detection (skip with KELVRA_SKIP_SANITIZE=1), then each fuzz target for a
# fixed number of runs under ASan with leak detection (skip with
# KELVRA_SKIP_FUZZ=1; KELVRA_FUZZ_RUNS sets the count).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check-format.sh
cmake --preset default
cmake --build --preset default
ctest --preset default -j2
if [ "${KELVRA_SKIP_SANITIZE:-0}" != "1" ]; then
    cmake --preset sanitize
    cmake --build --preset sanitize
    # Leaks fail the run; scripts/lsan.supp names the few of third-party libraries.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
        ctest --preset sanitize -j2
fi
if [ "${KELVRA_SKIP_FUZZ:-0}" != "1" ]; then
    scripts/run-fuzz.sh "${KELVRA_FUZZ_RUNS:-20000}"
fi
