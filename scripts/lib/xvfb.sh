# Shared by the scripts and tests that show the console on a virtual display (Xvfb).

# Starts Xvfb on a free display with a screen of the given size (default 1024x768) and exports DISPLAY.
# Sets XVFB_PID. Returns non-zero when the server does not come up within 10 s.
start_xvfb() {
    local size=${1:-1024x768} numberFile
    numberFile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$numberFile" >/dev/null 2>&1 &
    XVFB_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        if [ -s "$numberFile" ]; then
            DISPLAY=:$(head -n 1 "$numberFile")
            export DISPLAY
            rm -f "$numberFile"
            return 0
        fi
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numberFile"
    echo "Xvfb did not start" >&2
    return 1
}

stop_xvfb() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# Prints the id of the first visible window whose title is exactly the given text, waiting up to the given
# number of seconds (default 30). Returns non-zero when none appears.
wait_for_window() {
    local title=$1 seconds=${2:-30}
    timeout "$seconds" xdotool search --sync --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1 | grep .
}
