#!/usr/bin/env bash
# kelvra-server with no display and with DISPLAY naming a display nobody
# serves: the same message, exit status 1, no abort.
set -euo pipefail
bin=${1:?usage: console-no-display.sh BIN_DIR}
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
display=
for n in $(seq 4711 4760); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
[ -n "$display" ] || { echo "SKIP: no free display number"; exit 77; }

for d in "" "$display"; do
    status=0
    err=$(DISPLAY=$d "$bin/kelvra-server" 2>&1 >/dev/null) || status=$?
    [ "$status" -eq 1 ] || { echo "FAIL: DISPLAY='$d': exit status $status: $err"; exit 1; }
    grep -q "^kelvra-server: no display to open the console on.*use kelvra-serverd" <<<"$err" ||
        { echo "FAIL: DISPLAY='$d': $err"; exit 1; }
    [ "$(wc -l <<<"$err")" -eq 1 ] || { echo "FAIL: DISPLAY='$d': more than one line: $err"; exit 1; }
done
echo PASS
