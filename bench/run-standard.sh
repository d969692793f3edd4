#!/usr/bin/env bash
# Runs the standard kelvra-bench scenarios several times each and writes the
# medians as a markdown table and as JSON. Builds nothing: kelvra-bench (and,
# for --spawn, kelvra-serverd) must already be in the bin folder.
#
#   bench/run-standard.sh                       headless: a fresh kelvra-serverd per run
#   bench/run-standard.sh --port P --server-pid PID [--label console]
#                                               an already running server (e.g. the
#                                               console under Xvfb); it must stay up
#   bench/run-standard.sh --tls [--tls-port Q]   each run twice, alternating: through
#                                               the plain port and through the TLS port
#                                               (a spawned server gets a throwaway
#                                               certificate; a running one needs --tls-port)
# Options: --bin-dir DIR (default: build/bin), --runs N (3), --out-md FILE,
#          --out-json FILE, --label NAME (names the output files, default
#          "headless" or "external"), --scenarios "N:S:M ..." to override,
#          --no-login-storms to leave out the N=10000 and N=20000 scenarios.
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
# Login storms: every newcomer is sent every user and every user the newcomer,
# so these measure the login and join phase above all (see
# bench/loopback-limit.sh for what the machine allows).
login_storms="10000:5:20 20000:5:20"
tls=0
tls_port=""

usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }

while [[ $# -gt 0 ]]; do
    case "$1" in
    --bin-dir) bin_dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --server-pid) server_pid=$2; shift 2 ;;
    --label) label=$2; shift 2 ;;
    --out-md) out_md=$2; shift 2 ;;
    --out-json) out_json=$2; shift 2 ;;
    --scenarios) scenarios=$2; login_storms=""; shift 2 ;;
    --no-login-storms) login_storms=""; shift ;;
    --tls) tls=1; shift ;;
    --tls-port) tls_port=$2; shift 2 ;;
    -h | --help) usage 0 ;;
    *) echo "run-standard.sh: unknown option $1" >&2; usage 1 >&2 ;;
    esac
done

scenarios="$scenarios $login_storms"
# A login storm needs a descriptor per client in the bench and in the server.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
runnable=""
for scenario in $scenarios; do
    if (($(ulimit -n) < ${scenario%%:*} + 64)); then
        echo "run-standard.sh: N=${scenario%%:*} skipped: it needs more than the $(ulimit -n) descriptors 'ulimit -Hn' allows" >&2
    else
        runnable+=" $scenario"
    fi
done
scenarios=$runnable

if [[ -n "$port" && -z "$server_pid" ]] || [[ -z "$port" && -n "$server_pid" ]]; then
    echo "run-standard.sh: --port and --server-pid go together" >&2
    exit 1
fi
if [[ $tls -eq 1 && -n "$port" && -z "$tls_port" ]]; then
    echo "run-standard.sh: --tls with a running server needs its --tls-port" >&2
    exit 1
fi
if [[ -n "$port" ]]; then
    target=(--port "$port" --server-pid "$server_pid")
    tls_target=(--port "$tls_port" --server-pid "$server_pid" --tls)
    label=${label:-external}
    how="an already running server (port $port, pid $server_pid)"
else
    target=(--spawn)
    tls_target=(--spawn --tls)
    label=${label:-headless}
    how="a fresh kelvra-serverd per run (--spawn)"
fi
transports="plain"
if [[ $tls -eq 1 ]]; then
    transports="plain tls"
    label="$label-tls"
    how="$how, each run through the plain port and then through the TLS port"
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
    server_syscalls_per_delivery server_page_faults_per_delivery bench_cpu_us_per_delivery)

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
    timeout=$((n >= 20000 ? 900 : n >= 10000 ? 300 : n >= 5000 ? 180 : 90))
    declare -A done_ok=()
    for ((i = 1; i <= runs; ++i)); do
        # Alternating, so both transports see the same moods of the host.
        for tr in $transports; do
            out="$work/$n-$s-$m-$i-$tr.json"
            rc=0
            if [[ $tr == tls ]]; then args=("${tls_target[@]}"); else args=("${target[@]}"); fi
            "$bench" "${args[@]}" -n "$n" -s "$s" -m "$m" --timeout "$timeout" --json \
                --no-progress >"$out" 2>"$work/err" || rc=$?
            if [[ $rc -eq 0 ]]; then
                done_ok[$tr]=$((${done_ok[$tr]:-0} + 1))
            else
                failed=1
                echo "run-standard.sh: N=$n S=$s M=$m run $i ($tr) failed (exit $rc): $(tail -1 "$work/err")" >&2
            fi
            echo "N=$n S=$s M=$m run $i ($tr): $(json_value deliveries_per_second "$out") deliveries/s," \
                "p99 $(json_value latency_p99_ms "$out") ms, load $(cut -d' ' -f1 /proc/loadavg)" >&2
            json_runs+="${json_runs:+,}{\"clients\":$n,\"senders\":$s,\"messages\":$m,\"run\":$i,\"transport\":\"$tr\",\"exit_code\":$rc"
            for f in "${fields[@]}"; do
                json_runs+=",\"$f\":$(json_value "$f" "$out" || true)"
            done
            json_runs+="}"
        done
    done
    for tr in $transports; do
        complete[$scenario:$tr]=${done_ok[$tr]:-0}
        for f in "${fields[@]}"; do
            values=""
            for ((i = 1; i <= runs; ++i)); do
                values+=" $(json_value "$f" "$work/$n-$s-$m-$i-$tr.json" || true)"
            done
            med[$scenario:$tr:$f]=$(echo "$values" | median)
        done
    done
    unset done_ok
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
    echo "| N | S | M | port | runs ok | login + join (s) | logins/s | deliveries | deliveries/s | p50 (ms) | p99 (ms) | server RSS/conn (KiB) | server CPU/delivery (us) | server syscalls/delivery | server faults/delivery | bench CPU/delivery (us) |"
    echo "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for scenario in $scenarios; do
        IFS=: read -r n s m <<<"$scenario"
        for tr in $transports; do
            k="$scenario:$tr"
            echo "| $n | $s | $m | $tr | ${complete[$k]}/$runs" \
                "| $(fmt "${med[$k:login_seconds]}" 3)" \
                "| $(fmt "${med[$k:logins_per_second]}" 0)" \
                "| $(fmt "${med[$k:deliveries]}" 0)" \
                "| $(fmt "${med[$k:deliveries_per_second]}" 0)" \
                "| $(fmt "${med[$k:latency_p50_ms]}" 2)" \
                "| $(fmt "${med[$k:latency_p99_ms]}" 2)" \
                "| $(fmt "${med[$k:server_rss_per_connection_kib]}" 2)" \
                "| $(fmt "${med[$k:server_cpu_us_per_delivery]}" 3)" \
                "| $(fmt "${med[$k:server_syscalls_per_delivery]}" 4)" \
                "| $(fmt "${med[$k:server_page_faults_per_delivery]}" 4)" \
                "| $(fmt "${med[$k:bench_cpu_us_per_delivery]}" 3) |"
        done
    done
    if [[ $tls -eq 1 ]]; then
        echo
        for scenario in $scenarios; do
            IFS=: read -r n s m <<<"$scenario"
            p=${med[$scenario:plain:deliveries_per_second]}
            t=${med[$scenario:tls:deliveries_per_second]}
            if [[ $p != null && $t != null ]]; then
                echo "N=$n S=$s M=$m: TLS relays $(awk -v t="$t" -v p="$p" 'BEGIN { printf "%.0f", 100 * t / p }')% of the plain port's deliveries/s."
            fi
        done
    fi
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
        for tr in $transports; do
            k="$scenario:$tr"
            line="    {\"clients\":$n,\"senders\":$s,\"messages\":$m,\"transport\":\"$tr\",\"runs_ok\":${complete[$k]}"
            for f in "${fields[@]}"; do
                line+=",\"$f\":${med[$k:$f]}"
            done
            [[ $first -eq 1 ]] || echo ","
            printf '%s}' "$line"
            first=0
        done
    done
    echo
    echo "  ],"
    echo "  \"runs\": [$json_runs]"
    echo "}"
} >"$out_json"

echo "wrote $out_md and $out_json" >&2
exit $failed
