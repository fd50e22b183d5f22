#!/usr/bin/env bash
# Starts ticker on a real X server (Xvfb, no window manager) with and without its position
# argument and checks that "x,y" moves the window by exactly x right and y down.
# Usage: check-ticker-position.sh BUILD_DIR  (needs Xvfb and xwininfo)
set -euo pipefail
bin=$(cd "${1:-build}" && pwd)/bin
work=$(mktemp -d)
xvfb=""
cleanup() {
    [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# An X server of this run's own: Xvfb picks a free display and writes its number to the pipe
# once it accepts connections, so nothing connects before it is ready. Without -noreset it would
# reset whenever its last client leaves (each ticker and each look at the windows), refusing
# whoever connects meanwhile.
mkfifo "$work/display"
Xvfb -displayfd 4 -screen 0 1280x1024x24 -nolisten tcp -noreset 4>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
read -r -t 60 number <"$work/display" || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$number"
"$bin/zelfin-lab" init "$work/lab" --scenario empty >/dev/null
export ZELFIN_LAB="$work/lab" ZELFIN_UI=qt XDG_RUNTIME_DIR="$work"

# Prints "X Y" of the ticker window started with the given arguments, then closes it.
position() {
    "$bin/ticker" "$@" &
    local pid=$! info="" tries=0
    # The window appears when the program has started; look again until it is there (30 s at most).
    until info=$(xwininfo -name "Zelfin Ticker" 2>/dev/null); do
        tries=$((tries + 1))
        if ((tries > 150)) || ! kill -0 "$pid" 2>/dev/null; then
            echo "no ticker window on $DISPLAY; the X server said:" >&2
            cat "$work/xvfb.log" >&2
            ls -la /tmp/.X11-unix >&2 || true
            kill "$pid" 2>/dev/null || true
            return 1
        fi
        sleep 0.2
    done
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} END {print x, y}' <<<"$info"
}

read -r x0 y0 < <(position 'Busy now' 30)
read -r x1 y1 < <(position 'Busy now' 30 300,200)
read -r x2 y2 < <(position 'Busy now' 30 150)
echo "without: $x0,$y0  300,200: $x1,$y1  150: $x2,$y2"
[[ $((x1 - x0)) == 300 && $((y1 - y0)) == 200 && $x2 == "$x0" && $((y2 - y0)) == 150 ]]
