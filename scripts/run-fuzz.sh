#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang, ASan + UBSan throughout)
# and runs each for a fixed number of inputs, leaks included:
# scripts/run-fuzz.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
cmake --preset fuzz
cmake --build --preset fuzz --target kelvra_fuzz_stream kelvra_fuzz_connection
for target in stream connection; do
    corpus=$(mktemp -d)
    echo "fuzz: kelvra_fuzz_$target, $runs runs"
    status=0
    ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
        build-fuzz/bin/kelvra_fuzz_$target -runs="$runs" -seed=1 -detect_leaks=1 \
        -max_len=4096 -print_final_stats=1 "$corpus" >"$corpus.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$corpus.log"
        exit "$status"
    fi
    tail -n 4 "$corpus.log"
    rm -rf "$corpus" "$corpus.log"
done
