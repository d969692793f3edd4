#!/usr/bin/env bash
# Runs the standard kelvra-bench scenarios several times each and writes the
# medians as a markdown table and as JSON. Builds nothing: kelvra-bench (and,
# for --spawn, kelvra-serverd) must already be in the bin folder.
#
#   bench/run-standard.sh                       headless: a fresh kelvra-serverd per run
#   bench/run-standard.sh --port P --server-pid PID [--label console]
#                                               an already running server (e.g. the
#                                               console under Xvfb); it must stay up
# Options: --bin-dir DIR (default: build/bin), --runs N (3), --out-md FILE,
#          --out-json FILE, --label NAME (names the output files, default
#          "headless" or "external"), --scenarios "N:S:M ..." to override.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin_dir="$root/build/bin"
runs=3
port=""
server_pid=""
label=""
out_md=""
out_json=""
scenarios="100:10:200 1000:10:100 5000:5:50"

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }

while [[ $# -gt 0 ]]; do
    case "$1" in
    --bin-dir) bin_dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --server-pid) server_pid=$2; shift 2 ;;
    --label) label=$2; shift 2 ;;
    --out-md) out_md=$2; shift 2 ;;
    --out-json) out_json=$2; shift 2 ;;
    --scenarios) scenarios=$2; shift 2 ;;
    -h | --help) usage 0 ;;
    *) echo "run-standard.sh: unknown option $1" >&2; usage 1 >&2 ;;
    esac
done

if [[ -n "$port" && -z "$server_pid" ]] || [[ -z "$port" && -n "$server_pid" ]]; then
    echo "run-standard.sh: --port and --server-pid go together" >&2
    exit 1
fi
if [[ -n "$port" ]]; then
    target=(--port "$port" --server-pid "$server_pid")
    label=${label:-external}
    how="an already running server (port $port, pid $server_pid)"
else
    target=(--spawn)
    label=${label:-headless}
    how="a fresh kelvra-serverd per run (--spawn)"
fi
out_md=${out_md:-"$here/results-$label.md"}
out_json=${out_json:-"$here/results-$label.json"}

bench="$bin_dir/kelvra-bench"
if [[ ! -x "$bench" ]]; then
    echo "run-standard.sh: $bench not found; build first (see README)" >&2
    exit 1
fi

fields=(login_seconds logins_per_second deliveries deliveries_per_second latency_p50_ms
    latency_p99_ms server_rss_per_connection_kib server_cpu_us_per_delivery
    bench_cpu_us_per_delivery)

# The value of one "name": value line of the bench's JSON.
json_value() { awk -v k="\"$1\":" '$1 == k { v = $2; sub(/,$/, "", v); print v }' "$2"; }

median() {
    tr ' ' '\n' | grep -v '^null$' | grep -v '^$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "null"; else if (NR % 2) print v[(NR + 1) / 2];
              else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

work=$(mktemp -d /tmp/kelvra-standard-XXXXXX)
trap 'rm -rf "$work"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
failed=0
json_runs=""
declare -A med
declare -A complete

for scenario in $scenarios; do
    IFS=: read -r n s m <<<"$scenario"
    timeout=$((n >= 5000 ? 180 : 90))
    done_ok=0
    for ((i = 1; i <= runs; ++i)); do
        out="$work/$n-$s-$m-$i.json"
        rc=0
        "$bench" "${target[@]}" -n "$n" -s "$s" -m "$m" --timeout "$timeout" --json \
            --no-progress >"$out" 2>"$work/err" || rc=$?
        if [[ $rc -eq 0 ]]; then
            done_ok=$((done_ok + 1))
        else
            failed=1
            echo "run-standard.sh: N=$n S=$s M=$m run $i failed (exit $rc): $(tail -1 "$work/err")" >&2
        fi
        echo "N=$n S=$s M=$m run $i: $(json_value deliveries_per_second "$out") deliveries/s," \
            "p99 $(json_value latency_p99_ms "$out") ms, load $(cut -d' ' -f1 /proc/loadavg)" >&2
        json_runs+="${json_runs:+,}{\"clients\":$n,\"senders\":$s,\"messages\":$m,\"run\":$i,\"exit_code\":$rc"
        for f in "${fields[@]}"; do
            json_runs+=",\"$f\":$(json_value "$f" "$out" || true)"
        done
        json_runs+="}"
    done
    complete[$scenario]=$done_ok
    for f in "${fields[@]}"; do
        values=""
        for ((i = 1; i <= runs; ++i)); do
            values+=" $(json_value "$f" "$work/$n-$s-$m-$i.json" || true)"
        done
        med[$scenario:$f]=$(echo "$values" | median)
    done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

fmt() { [[ "$1" == null ]] && echo "-" || printf "%.${2}f" "$1"; }
{
    echo "# kelvra-bench standard scenarios: $label"
    echo
    echo "Medians of $runs runs per scenario against $how."
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores," \
        "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
        "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM;" \
        "load average before $load_before, after $load_after. Window 16, text 48 bytes."
    echo
    echo "| N | S | M | runs ok | login + join (s) | logins/s | deliveries | deliveries/s | p50 (ms) | p99 (ms) | server RSS/conn (KiB) | server CPU/delivery (us) | bench CPU/delivery (us) |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for scenario in $scenarios; do
        IFS=: read -r n s m <<<"$scenario"
        echo "| $n | $s | $m | ${complete[$scenario]}/$runs" \
            "| $(fmt "${med[$scenario:login_seconds]}" 3)" \
            "| $(fmt "${med[$scenario:logins_per_second]}" 0)" \
            "| $(fmt "${med[$scenario:deliveries]}" 0)" \
            "| $(fmt "${med[$scenario:deliveries_per_second]}" 0)" \
            "| $(fmt "${med[$scenario:latency_p50_ms]}" 2)" \
            "| $(fmt "${med[$scenario:latency_p99_ms]}" 2)" \
            "| $(fmt "${med[$scenario:server_rss_per_connection_kib]}" 2)" \
            "| $(fmt "${med[$scenario:server_cpu_us_per_delivery]}" 3)" \
            "| $(fmt "${med[$scenario:bench_cpu_us_per_delivery]}" 3) |"
    done
} >"$out_md"

{
    echo "{"
    echo "  \"label\": \"$label\","
    echo "  \"runs_per_scenario\": $runs,"
    echo "  \"nproc\": $(nproc),"
    echo "  \"load_before\": \"$load_before\","
    echo "  \"load_after\": \"$load_after\","
    echo "  \"medians\": ["
    first=1
    for scenario in $scenarios; do
        IFS=: read -r n s m <<<"$scenario"
        line="    {\"clients\":$n,\"senders\":$s,\"messages\":$m,\"runs_ok\":${complete[$scenario]}"
        for f in "${fields[@]}"; do
            line+=",\"$f\":${med[$scenario:$f]}"
        done
        [[ $first -eq 1 ]] || echo ","
        printf '%s}' "$line"
        first=0
    done
    echo
    echo "  ],"
    echo "  \"runs\": [$json_runs]"
    echo "}"
} >"$out_json"

echo "wrote $out_md and $out_json" >&2
exit $failed
