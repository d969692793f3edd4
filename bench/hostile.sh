#!/usr/bin/env bash
# Runs each attack of `kelvra-bench --hostile` against a fresh kelvra-serverd
# (its own settings file and folder, stopped afterwards) and prints what the
# canary client saw and what the server held.
#
#   bench/hostile.sh [--bin-dir DIR] [--serverd PATH] [--modes "nested pinned ..."]
#                    [--seconds S] [--connections N]
# --bin-dir: where kelvra-bench is (default: build/bin); --serverd: the server
# to attack (default: kelvra-serverd beside kelvra-bench), e.g. an older build
# for a comparison; --modes: default all of nested pinned flood unread burst
# chat bigtext; --seconds: how long each attack is watched; --connections:
# attacking connections (default 1000 for pinned, 500 for unread, 20000 for
# burst, as far as the descriptor limits allow).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin_dir="$root/build/bin"
serverd=""
modes="nested pinned flood unread burst chat bigtext"
seconds=""
connections=""

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }

while [[ $# -gt 0 ]]; do
    case "$1" in
    --bin-dir) bin_dir=$2; shift 2 ;;
    --serverd) serverd=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    -h | --help) usage 0 ;;
    *) echo "hostile.sh: unknown option $1" >&2; usage 1 >&2 ;;
    esac
done
serverd=${serverd:-$bin_dir/kelvra-serverd}
bench="$bin_dir/kelvra-bench"
for exe in "$bench" "$serverd"; do
    [[ -x $exe ]] || { echo "hostile.sh: $exe is not built" >&2; exit 1; }
done
# Thousands of connections need the descriptors on the server's side too.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

folder=$(mktemp -d /tmp/kelvra-hostile-XXXXXX)
server_pid=""
stop_server() {
    if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        for _ in $(seq 1 100); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$server_pid" 2>/dev/null && kill -KILL "$server_pid"
        wait "$server_pid" 2>/dev/null || true
    fi
    server_pid=""
}
trap 'stop_server; rm -rf "$folder"' EXIT

echo "server: $serverd"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
for mode in $modes; do
    rm -rf "${folder:?}"/*
    printf '[General]\nLogfile=%s/klog.dat\nMailfile=%s/kmail.dat\n' "$folder" "$folder" >"$folder/settings.ini"
    [[ -n ${KELVRA_HOSTILE_LIMITS:-} ]] && printf '[Limits]\n%s\n' "$KELVRA_HOSTILE_LIMITS" >>"$folder/settings.ini"
    "$serverd" --nick hostile --port 0 --settings "$folder/settings.ini" >"$folder/out" 2>&1 &
    server_pid=$!
    port=""
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$folder/out")
        [[ -n $port ]] && break
        sleep 0.1
    done
    [[ -n $port ]] || { echo "hostile.sh: the server did not start" >&2; cat "$folder/out" >&2; exit 1; }
    echo
    case "$mode" in
    unread) count=${connections:-500} ;;
    burst) count=${connections:-20000} ;;
    *) count=${connections:-1000} ;;
    esac
    args=(--hostile "$mode" --port "$port" --server-pid "$server_pid" --hostile-connections "$count")
    [[ -n $seconds ]] && args+=(--hostile-seconds "$seconds")
    "$bench" "${args[@]}" || status=1
    stop_server
done
exit $status
