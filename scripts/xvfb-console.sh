# Sourced by scripts that run the console under Xvfb (the process test, the
# screenshot, the console benchmark). Needs Xvfb and xdotool.
#
#   xvfb_console_start WORK BIN [SETTINGS_EXTRA]
# starts Xvfb and kelvra-server with a private settings store in WORK, answers
# the login dialog with the nickname "Operator" and waits for the listener.
# Sets XVFB_CONSOLE_PORT, XVFB_CONSOLE_PID, XVFB_CONSOLE_SETTINGS and exports
# DISPLAY; xvfb_console_stop ends what it started.

xvfb_console_free_port() {
    local port
    for _ in $(seq 50); do
        # Below the kernel's range for outgoing connections (32768 up), whose
        # local ports a bind would collide with on a busy machine.
        port=$((20000 + RANDOM % 12000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
    done
    echo "$port"
}

xvfb_console_start() {
    local work=$1 bin=$2 extra=${3:-}
    XVFB_CONSOLE_PORT=$(xvfb_console_free_port)
    # Xvfb picks a display nobody uses and writes its number.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || { echo "xvfb-console: Xvfb did not start" >&2; return 1; }
    export DISPLAY=":$(head -n1 "$work/display")" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb
    for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
    XVFB_CONSOLE_SETTINGS="$XDG_CONFIG_HOME/Dravenholt/Kelvra Chat Server.conf"
    mkdir -p "$(dirname "$XVFB_CONSOLE_SETTINGS")"
    cat >"$XVFB_CONSOLE_SETTINGS" <<INI
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
Preset1=$XVFB_CONSOLE_PORT
Def=1
$extra
INI
    "$bin/kelvra-server" >"$work/server.log" 2>&1 &
    XVFB_CONSOLE_PID=$!
    local window
    window=$(timeout 20 xdotool search --sync --name "^Splash Form$" | head -n1)
    [ -n "$window" ] || { echo "xvfb-console: no login dialog" >&2; return 1; }
    # On a busy machine keys typed before the dialog has the focus are lost:
    # while the dialog is still there after a few seconds, the nickname is
    # typed again.
    local attempt tick
    for attempt in 1 2 3; do
        xdotool windowactivate --sync "$window" 2>/dev/null ||
            xdotool windowfocus --sync "$window" 2>/dev/null || true
        xdotool key ctrl+a
        xdotool type --delay 20 "Operator"
        xdotool key Return
        for tick in $(seq 100); do
            (exec 3<>"/dev/tcp/127.0.0.1/$XVFB_CONSOLE_PORT") 2>/dev/null && return 0
            sleep 0.1
            if [ "$tick" -eq 40 ] && xdotool search --name "^Splash Form$" >/dev/null 2>&1; then
                break
            fi
        done
    done
    echo "xvfb-console: the console does not listen on $XVFB_CONSOLE_PORT" >&2
    local w
    for w in $(xdotool search --name . 2>/dev/null); do
        echo "xvfb-console: window \"$(xdotool getwindowname "$w" 2>/dev/null)\"" >&2
    done
    sed 's/^/xvfb-console: server: /' "$work/server.log" >&2
    ss -ltnp 2>/dev/null | grep "pid=$XVFB_CONSOLE_PID," | sed 's/^/xvfb-console: listens: /' >&2 || true
    return 1
}

xvfb_console_stop() {
    local pid
    for pid in ${XVFB_CONSOLE_PID:-} ${XVFB_PID:-}; do
        kill "$pid" 2>/dev/null || true
    done
}
