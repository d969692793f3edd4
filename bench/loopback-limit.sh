#!/usr/bin/env bash
# The machine's ceiling for a login storm: how many bytes per second one
# process can write to N loopback connections while another process reads
# them (bench/loopback-limit.cpp, built here with the system compiler), and
# how long the records a login storm of N clients must write take at that
# rate, whatever the server does itself.
#
#   bench/loopback-limit.sh [-n CONNECTIONS] [--seconds S] [--sizes "4096 16384"]
#                           [--room-length L]
# -n: connections (10000); --seconds: how long each write size is measured
# (3); --sizes: bytes per send, one measurement each (default 4096 16384:
# the server's sends in a storm average a few KiB); --room-length: the chat
# name's length (kelvra-bench names it bench<pid>: 10).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
n=10000
seconds=3
sizes="4096 16384"
room_length=10

while [[ $# -gt 0 ]]; do
    case "$1" in
    -n) n=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --room-length) room_length=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "loopback-limit.sh: unknown option $1" >&2; exit 1 ;;
    esac
done

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if (($(ulimit -n) < n + 64)); then
    echo "loopback-limit.sh: $n connections need more descriptors than $(ulimit -n)" >&2
    exit 1
fi
work=$(mktemp -d /tmp/kelvra-loopback-XXXXXX)
trap 'rm -rf "$work"' EXIT
c++ -O2 -std=c++17 -o "$work/loopback-limit" "$here/loopback-limit.cpp"

# Bytes a storm of n logins and joins of one chat writes, by the records'
# sizes (23 bytes of frame per record plus its texts; nicknames b<i>, icon 0),
# counting for login i only the i users already there: a lower bound.
storm_bytes=$(awk -v n="$n" -v r="$room_length" 'BEGIN {
    total = 0; names = 0; listed = 0
    for (i = 0; i < n; ++i) {
        len = 1 + length(i "")
        listed += 24 + len                  # KMC_ADDUSER, in every later list
        total += listed                     # the newcomer'\''s user list, itself included
        total += i * (24 + len)             # KMC_ADDUSER to the others
        total += i * (44 + r + len)         # "has joined the chat" to the members
        total += (i == 0) ? 23 + r + 15 : 23 + r + 22 + names - 2 + 1   # who is here
        names += len + 2
    }
    printf "%.0f", total }')

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$work/loopback-limit" "$n" "$seconds" $sizes | tee "$work/out"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v b="$storm_bytes" -v n="$n" '
    { for (i = 1; i <= NF; ++i) if ($i == "MB/s") rate = $(i - 1); cpu = $(NF - 3); size = $5
      printf "login storm of %d: %.2f GB of records; %s-byte sends: %.1f s at the %s MB/s measured, " \
             "%.1f s of writer CPU (the floor on an idle core)\n",
             n, b / 1e9, size, b / 1e6 / rate, rate, b / 1e9 * cpu }' "$work/out"
