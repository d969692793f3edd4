#!/usr/bin/env bash
# Runs each attack of `kelvra-bench --hostile` against a fresh kelvra-serverd
# (its own settings file and folder, stopped afterwards) and prints what the
# canary client saw and what the server held.
#
#   bench/hostile.sh [--bin-dir DIR] [--serverd PATH] [--modes "nested pinned ..."]
#                    [--seconds S] [--connections N] [--joins N]
#                    [--store-mails N]
# --bin-dir: where kelvra-bench is (default: build/bin); --serverd: the server
# to attack (default: kelvra-serverd beside kelvra-bench), e.g. an older build
# for a comparison; --modes: default all of nested pinned flood unread burst
# chat bigtext stacked chats crash; --seconds: how long each attack is watched;
# --connections: attacking connections (default 1000 for pinned, 500 for
# unread, 20000 for burst, as far as the descriptor limits allow) or reading
# bystanders (stacked, chats); --joins: joins (stacked) or creations (chats)
# before the close (400000); --store-mails: messages stored before the crash
# attack (100000, about 256 MiB).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin_dir="$root/build/bin"
serverd=""
modes="nested pinned flood unread burst chat bigtext stacked chats crash"
seconds=""
connections=""
joins=400000
store_mails=100000

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }

while [[ $# -gt 0 ]]; do
    case "$1" in
    --bin-dir) bin_dir=$2; shift 2 ;;
    --serverd) serverd=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --joins) joins=$2; shift 2 ;;
    --store-mails) store_mails=$2; shift 2 ;;
    -h | --help) usage 0 ;;
    *) echo "hostile.sh: unknown option $1" >&2; usage 1 >&2 ;;
    esac
done
serverd=${serverd:-$bin_dir/kelvra-serverd}
bench="$bin_dir/kelvra-bench"
client="$bin_dir/kelvra-client"
for exe in "$bench" "$serverd" "$client"; do
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

# crash: a mail store of $store_mails messages (about 256 MiB at 100,000),
# written straight into the mail file. Measures how long a new mail takes to
# reach the disk and the peak RSS around the save that follows, kills the
# server (SIGKILL) half a second after a new mail and during the save of the
# close, and checks after each restart that the mail is still delivered and
# that no temporary file piles up beside the mail file.
crash_server_start() {
    local started
    started=$(date +%s%N)
    "$serverd" --nick hostile --port 0 --settings "$folder/settings.ini" >>"$folder/out" 2>&1 &
    server_pid=$!
    port=""
    for _ in $(seq 1 1200); do
        port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$folder/out" | tail -n 1)
        [[ -n $port ]] && break
        sleep 0.1
    done
    [[ -n $port ]] || { echo "hostile.sh: the server did not start" >&2; cat "$folder/out" >&2; return 1; }
    : >"$folder/out"
    echo "  start with the store: $(( ($(date +%s%N) - started) / 1000000 )) ms, RSS $(crash_status VmRSS) MiB"
}
crash_status() { awk -v f="$1:" '$1 == f { printf "%d", $2 / 1024 }' "/proc/$server_pid/status"; }
crash_kill() {
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}
crash_send() { # nickname, text
    printf '/msg absentee %s\n' "$2" | "$client" --port "$port" --nick "$1" --linger 0 >/dev/null 2>&1
}
crash_delivered() { # marker: 1 when a KMS_GETPOST of "absentee" brings it
    printf '/mail\n' | "$client" --port "$port" --nick absentee --linger 3 --raw 2>/dev/null |
        grep -cF "$1" || true
}
crash_stray_files() { # what lies beside the mail file apart from the files it uses
    find "$folder" -maxdepth 1 -type f ! -name settings.ini ! -name out ! -name klog.dat \
        ! -name kmail.dat ! -name kmail.dat.journal -printf '%f ' | sed 's/ $//'
}
crash_time_to_disk() { # marker: ms until a file beside the store holds it
    local start inode now
    start=$(date +%s%N)
    inode=$(stat -c %i "$folder/kmail.dat")
    for _ in $(seq 1 3000); do
        if grep -qF "$1" "$folder/kmail.dat.journal" 2>/dev/null ||
            { [[ $(stat -c %i "$folder/kmail.dat") != "$inode" ]] && grep -qF "$1" "$folder/kmail.dat"; }; then
            now=$(date +%s%N)
            echo $(( (now - start) / 1000000 ))
            return
        fi
        sleep 0.01
    done
    echo "more than 30000"
}
crash_during_large_store() {
    echo "crash: $store_mails stored messages, then kills"
    printf '[General]\nLogfile=%s/klog.dat\nMailfile=%s/kmail.dat\n[Limits]\nMailTotal=%d\nMailBytesTotal=1073741824\n' \
        "$folder" "$folder" $((store_mails + 1000)) >"$folder/settings.ini"
    awk -v n="$store_mails" 'BEGIN {
        body = sprintf("%2620s", ""); gsub(/ /, "m", body)
        printf "[Mail]\r\n"
        for (i = 1; i <= n; i++)
            printf "%dTarget=user%d\r\n%dSender=filler\r\n%dMsg=%s%d\r\n", i, i % 1000, i, i, body, i
        printf "Mail=%d\r\n", n
    }' >"$folder/kmail.dat"
    chmod 600 "$folder/kmail.dat"
    echo "  mail file: $(( $(stat -c %s "$folder/kmail.dat") / 1048576 )) MiB"
    crash_server_start || return 1
    local ok=1 rss tag="m$$" round stray

    # A new mail: time to the disk, and the peak RSS until its save is done.
    echo 5 >"/proc/$server_pid/clear_refs" 2>/dev/null || true
    rss=$(crash_status VmRSS)
    crash_send first "$tag-disk"
    echo "  new mail on disk after $(crash_time_to_disk "$tag-disk") ms"
    sleep 2
    echo "  RSS before the save $rss MiB, peak around it $(crash_status VmHWM) MiB"

    # SIGKILL half a second after a new mail.
    crash_send second "$tag-kill"
    sleep 0.5
    crash_kill
    crash_server_start || return 1
    stray=$(crash_stray_files)
    if [[ $(crash_delivered "$tag-kill") == 1 ]]; then echo "  killed 0.5 s after a new mail: delivered after the restart"
    else echo "  killed 0.5 s after a new mail: LOST"; ok=0; fi
    echo "  beside the mail file after the restart: ${stray:-nothing else}"

    # SIGKILL during the save of the close (0.2 s after its temporary file
    # shows, or 2 s after SIGTERM), three times.
    local what
    for round in 1 2 3; do
        crash_send third "$tag-close$round"
        sleep 0.3 # taken in by the server, not yet saved
        kill -TERM "$server_pid"
        for _ in $(seq 1 40); do
            [[ -n $(crash_stray_files) ]] || ! kill -0 "$server_pid" 2>/dev/null && break
            sleep 0.05
        done
        [[ -n $(crash_stray_files) ]] && sleep 0.2
        what=$(crash_stray_files)
        kill -0 "$server_pid" 2>/dev/null || what="(the close had ended)"
        echo "  killed during the close's save ($round); beside the mail file then: ${what:-nothing else}"
        crash_kill
        crash_server_start || return 1
        stray=$(crash_stray_files)
        if [[ $(crash_delivered "$tag-close$round") == 1 ]]; then echo "  delivered after the restart"
        else echo "  LOST after the restart"; ok=0; fi
        echo "  beside the mail file after the restart: ${stray:-nothing else}"
    done
    [[ -z $stray ]] || ok=0

    # A whole close: its duration and peak RSS.
    local start peak=0 now
    echo 5 >"/proc/$server_pid/clear_refs" 2>/dev/null || true
    rss=$(crash_status VmRSS)
    start=$(date +%s%N)
    kill -TERM "$server_pid"
    while now=$(crash_status VmHWM 2>/dev/null) && [[ -n $now ]]; do
        (( now > peak )) && peak=$now
        sleep 0.02
    done
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
    echo "  close: $(( ($(date +%s%N) - start) / 1000000 )) ms, RSS $rss MiB before, peak $peak MiB;" \
        "left: $(find "$folder" -maxdepth 1 -name 'kmail.dat*' -printf '%f ' )"
    (( ok )) || echo "  crash: FAILED"
    (( ok ))
}

echo "server: $serverd"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
for mode in $modes; do
    rm -rf "${folder:?}"/*
    if [[ $mode == crash ]]; then
        echo
        crash_during_large_store || status=1
        stop_server
        continue
    fi
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
    [[ $mode == stacked || $mode == chats ]] && args+=(--hostile-joins "$joins")
    "$bench" "${args[@]}" || status=1
    stop_server
done
exit $status
