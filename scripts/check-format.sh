#!/usr/bin/env bash
# Fails when clang-format would change a C++ file (KELVRA_STRICT_FORMAT=0
# only warns).
set -uo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format not installed; format check skipped"; exit 0; }
bad=$(git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run 2>&1 | grep -c 'warning:' || true)
if [ "${bad:-0}" != "0" ]; then
    echo "clang-format: $bad places differ from .clang-format"
    git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run 2>&1 | grep 'warning:' |
        cut -d: -f1 | sort | uniq -c | head -n 20
    [ "${KELVRA_STRICT_FORMAT:-1}" = "1" ] && exit 1
fi
exit 0
