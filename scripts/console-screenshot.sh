#!/usr/bin/env bash
# Takes a screenshot of the console under Xvfb with a few clients connected:
#   scripts/console-screenshot.sh [OUT.png] [BIN_DIR]
# Needs Xvfb, xdotool, xwd and ImageMagick's convert; builds nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/images/console.png}
bin=${2:-$root/build/bin}

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
done
display=":$((90 + RANDOM % 400))"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
mkdir -p "$XDG_CONFIG_HOME/Dravenholt"
cat >"$XDG_CONFIG_HOME/Dravenholt/Kelvra Chat Server.conf" <<INI
[General]
Logfile=$work/klog.dat
Mailfile=$work/kmail.dat
[MainForm]
PlaceShowCmd=1
PlaceNormPosL=0
PlaceNormPosT=0
PlaceNormPosR=1280
PlaceNormPosB=800
[Ports]
Num=1
Preset1=$port
Def=1
[Bans]
Bans=1
1Nick=spammer
1Nick_On=1
1InString=1
1IP1_On=0
1IP2_On=0
1IP3_On=0
1IP4_On=0
1Comment=floods the lobby
INI

"$bin/kelvra-server" >/dev/null 2>&1 &
pids+=($!)
window=$(timeout 20 xdotool search --sync --name "^Splash Form$" | head -n1)
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool type --delay 20 "Operator"
xdotool key Return
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

client() { # nick icon script...
    local nick=$1 icon=$2
    shift 2
    printf '%s\n' "$@" | "$bin/kelvra-client" --port "$port" --nick "$nick" --icon "$icon" \
        --linger 60 >/dev/null 2>&1 &
    pids+=($!)
    sleep 0.4
}
client alice 3 "/create Lobby" "/say Lobby hello everyone"
client bob 12 "/join Lobby" "/say Lobby hi alice" "/msg carol see you at eight"
client dave 21 "/create --secure Backroom"
sleep 2
xwd -root -silent | convert xwd:- "$out"
echo "$out"
