#!/usr/bin/env bash
# kelvra-server under Xvfb receives SIGTERM with a client connected: the client
# gets the shutdown notice, the process exits with 0, and the ban list and the
# mail are on disk. The login dialog is answered with xdotool.
set -euo pipefail
bin=${1:?usage: console-signal-close.sh BIN_DIR}
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A port nobody listens on.
for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
done
display=":$((90 + RANDOM % 400))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

export XDG_CONFIG_HOME="$work/config" DISPLAY=$display QT_QPA_PLATFORM=xcb
settings="$XDG_CONFIG_HOME/Dravenholt/Kelvra Chat Server.conf"
mkdir -p "$(dirname "$settings")"
cat >"$settings" <<INI
[General]
Logfile=$work/klog.dat
Mailfile=$work/kmail.dat

[Ports]
Num=1
Preset1=$port
Def=1

[Bans]
Bans=1
1Nick=mallory
1Nick_On=1
1InString=0
1IP1_On=0
1IP2_On=0
1IP3_On=0
1IP4_On=0
1Comment=seeded
INI

"$bin/kelvra-server" >"$work/server.log" 2>&1 &
server=$!
pids+=($server)
window=$(timeout 20 xdotool search --sync --name "^Splash Form$" | head -n1)
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
xdotool type --delay 20 "Operator"
xdotool key Return

# Wait for the listener.
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

# A message to an absent nickname becomes mail.
mkfifo "$work/in"
"$bin/kelvra-client" --port "$port" --nick alice --raw --linger 30 <"$work/in" >"$work/alice.out" 2>&1 &
client=$!
pids+=($client)
exec 4>"$work/in"
echo "/msg bob see you tomorrow" >&4
sleep 1

kill -TERM "$server"
status=0
wait "$server" || status=$?
exec 4>&-
wait "$client" 2>/dev/null || true

fail() { echo "FAIL: $*"; echo "--- server"; cat "$work/server.log"; echo "--- client"; cat "$work/alice.out"; exit 1; }
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "Server is shuting down..." "$work/alice.out" || fail "no shutdown notice"
# The seeded ban comes back with every field written (the seed lacked IP1).
grep -q "^1IP1=0" "$settings" || fail "bans not saved"
grep -qi "see you tomorrow" "$work/kmail.dat" || fail "mail not saved"
echo PASS
