#!/usr/bin/env bash
# kelvra-server under Xvfb receives SIGTERM with a client connected: the client
# gets the shutdown notice, the process exits with 0, and the ban list and the
# mail are on disk.
set -euo pipefail
bin=${1:?usage: console-signal-close.sh BIN_DIR}
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
source "$(dirname "$0")/../../scripts/xvfb-console.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    xvfb_console_stop
    rm -rf "$work"
}
trap cleanup EXIT

# The seed lacks the octets: a saved ban has every field.
xvfb_console_start "$work" "$bin" "$(printf '[Bans]\nBans=1\n1Nick=mallory\n1Comment=seeded')"
port=$XVFB_CONSOLE_PORT
server=$XVFB_CONSOLE_PID

# A message to an absent nickname becomes mail.
mkfifo "$work/in"
"$bin/kelvra-client" --port "$port" --nick alice --raw --linger 30 <"$work/in" >"$work/alice.out" 2>&1 &
client=$!
pids+=($client)
exec 4>"$work/in"
echo "/msg bob see you tomorrow" >&4
# Taken in means journalled: wait for that rather than for a fixed time.
for _ in $(seq 200); do
    grep -aqi "see you tomorrow" "$work/kmail.dat.journal" 2>/dev/null && break
    sleep 0.1
done

kill -TERM "$server"
status=0
wait "$server" || status=$?
exec 4>&-
wait "$client" 2>/dev/null || true

fail() { echo "FAIL: $*"; echo "--- server"; cat "$work/server.log"; echo "--- client"; cat "$work/alice.out"; exit 1; }
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "Server is shuting down..." "$work/alice.out" || fail "no shutdown notice"
grep -q "^1IP1=0" "$XVFB_CONSOLE_SETTINGS" || fail "bans not saved"
grep -qi "see you tomorrow" "$work/kmail.dat" || fail "mail not saved"
echo PASS
