#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, then
# the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
# (skip that second run with KELVRA_SKIP_SANITIZE=1).
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
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset sanitize -j2
fi
