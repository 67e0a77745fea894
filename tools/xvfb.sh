# Sourced by the game's run script and tests: an Xvfb server of their own on a display nobody uses.
# Xvfb picks the display itself (-displayfd), so tests running side by side never collide.

# start_xvfb LOGFILE: sets DISPLAY and XVFB_PID.
start_xvfb() {
    _xvfb_number=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x768x24 -nolisten tcp 3>"$_xvfb_number" >"$1" 2>&1 &
    XVFB_PID=$!
    _tries=0
    while [ ! -s "$_xvfb_number" ]; do
        _tries=$((_tries + 1))
        if ! kill -0 "$XVFB_PID" 2>/dev/null || [ "$_tries" -gt 200 ]; then
            echo "Xvfb did not start:" >&2
            cat "$1" >&2
            rm -f "$_xvfb_number"
            return 1
        fi
        sleep 0.05
    done
    DISPLAY=":$(head -n 1 "$_xvfb_number")"
    export DISPLAY
    rm -f "$_xvfb_number"
}

# Stops the server this shell started, by its own pid.
stop_xvfb() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}
