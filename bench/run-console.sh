#!/usr/bin/env bash
# The console beside the headless server in one command. kelvra-server runs
# under Xvfb with all seven windows open (its login dialog answered by
# xdotool); runs alternate between it and a fresh kelvra-serverd, so both see
# the same moods of a shared host, and the medians are compared. The console is
# started fresh for each scenario and keeps serving across its runs, which is
# how it is used. Builds nothing.
#
#   bench/run-console.sh [--runs N] [--scenarios "N:S:M ..."] [--bin-dir DIR]
#                        [--out-md FILE] [--out-json FILE]
#
# --runs 3 (the default) gives medians of three; --runs 10 is also the test of
# a console that has served ten runs in a row: the table then compares its
# first three runs with its last three. Writes bench/results-console.md and
# .json; prints one line per run on stderr.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin_dir="$root/build/bin"
runs=3
scenarios="5000:5:50"
out_md=""
out_json=""
while [[ $# -gt 0 ]]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --scenarios) scenarios=$2; shift 2 ;;
    --bin-dir) bin_dir=$2; shift 2 ;;
    --out-md) out_md=$2; shift 2 ;;
    --out-json) out_json=$2; shift 2 ;;
    -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-console.sh: unknown option $1" >&2; exit 1 ;;
    esac
done
out_md=${out_md:-"$here/results-console.md"}
out_json=${out_json:-"$here/results-console.json"}
bench="$bin_dir/kelvra-bench"
for tool in "$bench" "$bin_dir/kelvra-server" "$bin_dir/kelvra-serverd"; do
    [[ -x "$tool" ]] || { echo "run-console.sh: $tool not found; build first" >&2; exit 1; }
done
source "$root/scripts/xvfb-console.sh"

work=$(mktemp -d /tmp/kelvra-console-XXXXXX)
trap 'xvfb_console_stop; rm -rf "$work"' EXIT

fields=(login_seconds deliveries_per_second latency_p99_ms server_rss_before_kib
    server_rss_idle_kib server_rss_per_connection_kib server_cpu_us_per_delivery
    server_cpu_login_ms)
json_value() { awk -v k="\"$1\":" '$1 == k { v = $2; sub(/,$/, "", v); print v }' "$2"; }
median() {
    tr ' ' '\n' | grep -v '^null$' | grep -v '^$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "null"; else if (NR % 2) print v[(NR + 1) / 2];
              else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The median of one field over runs FIRST..LAST of one side.
med_of() {
    local side=$1 scenario=$2 field=$3 first=$4 last=$5 values="" i
    for ((i = first; i <= last; ++i)); do
        values+=" $(json_value "$field" "$work/$scenario-$side-$i.json" || true)"
    done
    echo "$values" | median
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "null" || b == "null" || b == 0) print "-"; else printf "%.0f%%", 100 * a / b }'; }
fmt() { [[ "$1" == null ]] && echo "-" || printf "%.${2}f" "$1"; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
failed=0
json_runs=""
for scenario in $scenarios; do
    IFS=: read -r n s m <<<"$scenario"
    timeout=$((n >= 5000 ? 240 : 90))
    key="$n-$s-$m"
    xvfb_console_start "$work" "$bin_dir"
    for ((i = 1; i <= runs; ++i)); do
        for side in console headless; do
            out="$work/$key-$side-$i.json"
            if [[ $side == console ]]; then
                args=(--port "$XVFB_CONSOLE_PORT" --server-pid "$XVFB_CONSOLE_PID")
            else
                args=(--spawn)
            fi
            rc=0
            "$bench" "${args[@]}" -n "$n" -s "$s" -m "$m" --timeout "$timeout" --json \
                --no-progress >"$out" 2>"$work/err" || rc=$?
            if [[ $rc -ne 0 ]]; then
                failed=1
                echo "run-console.sh: N=$n run $i ($side) failed (exit $rc): $(tail -1 "$work/err")" >&2
            fi
            echo "N=$n S=$s M=$m run $i $side: $(json_value deliveries_per_second "$out") deliveries/s," \
                "login $(json_value login_seconds "$out") s (CPU $(json_value server_cpu_login_ms "$out") ms)," \
                "RSS/conn $(json_value server_rss_per_connection_kib "$out") KiB," \
                "load $(cut -d' ' -f1 /proc/loadavg)" >&2
            json_runs+="${json_runs:+,}{\"clients\":$n,\"senders\":$s,\"messages\":$m,\"run\":$i,\"server\":\"$side\",\"exit_code\":$rc"
            for f in "${fields[@]}"; do
                json_runs+=",\"$f\":$(json_value "$f" "$out" || true)"
            done
            json_runs+="}"
        done
    done
    console_rss_end=$(awk '/^VmRSS:/ { print $2 }' "/proc/$XVFB_CONSOLE_PID/status" 2>/dev/null || echo null)
    echo "$console_rss_end" >"$work/$key-console-rss-end"
    xvfb_console_stop
    # The next scenario's console needs the port and the display free.
    wait "$XVFB_CONSOLE_PID" 2>/dev/null || true
    unset XVFB_CONSOLE_PID XVFB_PID
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

{
    echo "# The console beside the headless server"
    echo
    echo "Runs alternate: console, then a fresh kelvra-serverd, $runs times per scenario;"
    echo "one console per scenario serves all its runs. Medians of all runs, and with"
    echo "more than three runs also of the first three and the last three."
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores;" \
        "load average before $load_before, after $load_after."
    echo
    echo "Server CPU is what the server process spent: for the login phase, and per"
    echo "delivery in the relay phase; on a busy host it varies less than wall-clock figures."
    echo
    echo "| N | S | M | runs | console deliveries/s | headless deliveries/s | console / headless | console login (s) | headless login (s) | login ratio | console login CPU (s) | headless login CPU (s) | console CPU/delivery (us) | headless CPU/delivery (us) | console RSS/conn (KiB) | headless RSS/conn (KiB) |"
    echo "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for scenario in $scenarios; do
        IFS=: read -r n s m <<<"$scenario"
        key="$n-$s-$m"
        spans=("1 $runs all")
        if ((runs > 3)); then spans+=("1 3 first 3" "$((runs - 2)) $runs last 3"); fi
        for span in "${spans[@]}"; do
            read -r a b name <<<"$span"
            cd_=$(med_of console "$key" deliveries_per_second "$a" "$b")
            hd=$(med_of headless "$key" deliveries_per_second "$a" "$b")
            cl=$(med_of console "$key" login_seconds "$a" "$b")
            hl=$(med_of headless "$key" login_seconds "$a" "$b")
            # The console's memory per connection is that of its first run: later
            # runs start with the logs already full.
            cc=$(med_of console "$key" server_cpu_login_ms "$a" "$b")
            hc=$(med_of headless "$key" server_cpu_login_ms "$a" "$b")
            cu=$(med_of console "$key" server_cpu_us_per_delivery "$a" "$b")
            hu=$(med_of headless "$key" server_cpu_us_per_delivery "$a" "$b")
            cr=$(med_of console "$key" server_rss_per_connection_kib 1 1)
            hr=$(med_of headless "$key" server_rss_per_connection_kib "$a" "$b")
            echo "| $n | $s | $m | $name ($a-$b) | $(fmt "$cd_" 0) | $(fmt "$hd" 0) | $(ratio "$cd_" "$hd")" \
                "| $(fmt "$cl" 2) | $(fmt "$hl" 2) | $(awk -v a="$cl" -v b="$hl" 'BEGIN { if (a == "null" || b == "null" || b == 0) print "-"; else printf "%.2f", a / b }')" \
                "| $(fmt "$(awk -v v="$cc" 'BEGIN { print (v == "null") ? v : v / 1000 }')" 1)" \
                "| $(fmt "$(awk -v v="$hc" 'BEGIN { print (v == "null") ? v : v / 1000 }')" 1)" \
                "| $(fmt "$cu" 3) | $(fmt "$hu" 3) | $(fmt "$cr" 2) | $(fmt "$hr" 2) |"
        done
        echo
        echo "N=$n: the console's resident size after its last run: $(cat "$work/$key-console-rss-end") KiB."
    done
} >"$out_md"

{
    echo "{"
    echo "  \"label\": \"console\","
    echo "  \"runs_per_scenario\": $runs,"
    echo "  \"load_before\": \"$load_before\","
    echo "  \"load_after\": \"$load_after\","
    echo "  \"runs\": [$json_runs]"
    echo "}"
} >"$out_json"
cat "$out_md"
echo "wrote $out_md and $out_json" >&2
exit $failed
