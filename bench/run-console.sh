#!/usr/bin/env bash
# The console against the headless server in one run: kelvra-server under Xvfb
# with all seven windows open (its login dialog answered by xdotool), then a
# fresh kelvra-serverd per run, both through run-standard.sh with the same
# scenarios. Builds nothing.
#   bench/run-console.sh [--runs N] [--scenarios "N:S:M ..."] [--bin-dir DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin_dir="$root/build/bin"
runs=3
scenarios="1000:10:100"
while [[ $# -gt 0 ]]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --scenarios) scenarios=$2; shift 2 ;;
    --bin-dir) bin_dir=$2; shift 2 ;;
    *) echo "run-console.sh: unknown option $1" >&2; exit 1 ;;
    esac
done
source "$root/scripts/xvfb-console.sh"

work=$(mktemp -d /tmp/kelvra-console-XXXXXX)
trap 'xvfb_console_stop; rm -rf "$work"' EXIT
xvfb_console_start "$work" "$bin_dir"
"$here/run-standard.sh" --bin-dir "$bin_dir" --runs "$runs" --scenarios "$scenarios" \
    --port "$XVFB_CONSOLE_PORT" --server-pid "$XVFB_CONSOLE_PID" --label console
xvfb_console_stop
# The console's own X server is gone; the headless runs need no display.
"$here/run-standard.sh" --bin-dir "$bin_dir" --runs "$runs" --scenarios "$scenarios" \
    --label headless-beside-console
