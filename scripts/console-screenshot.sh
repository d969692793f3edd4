#!/usr/bin/env bash
# Takes a screenshot of the console under Xvfb with a few clients connected:
#   scripts/console-screenshot.sh [OUT.png] [BIN_DIR]
# Needs Xvfb, xdotool, xwd (x11-apps) and ImageMagick's convert; builds nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/images/console.png}
bin=${2:-$root/build/bin}
source "$root/scripts/xvfb-console.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    xvfb_console_stop
    rm -rf "$work"
}
trap cleanup EXIT

xvfb_console_start "$work" "$bin" "$(printf '[Bans]\nBans=1\n1Nick=spammer\n1InString=1\n1IP1_On=0\n1IP2_On=0\n1IP3_On=0\n1IP4_On=0\n1Comment=floods the lobby')"

client() { # nick icon script lines...
    local nick=$1 icon=$2
    shift 2
    printf '%s\n' "$@" | "$bin/kelvra-client" --port "$XVFB_CONSOLE_PORT" --nick "$nick" \
        --icon "$icon" --linger 60 >/dev/null 2>&1 &
    pids+=($!)
    sleep 0.4
}
client alice 3 "/create Lobby" "/say Lobby hello everyone"
client bob 12 "/join Lobby" "/say Lobby hi alice" "/msg carol see you at eight"
client dave 21 "/create --secure Backroom"
sleep 2
xwd -root -silent | convert xwd:- "$out"
echo "$out"
