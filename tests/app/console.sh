#!/usr/bin/env bash
# Runs the console executable as a user would, inside a private network namespace (the console pings
# every local network at start) and with a settings store of its own.
#   console.sh smoke CONSOLE XCLOSEWINDOW   starts it on a virtual display, checks that it keeps running,
#                                           closes its window like a window manager does, expects status 0
#   console.sh broken-root CONSOLE          a console whose root document fails must exit with -1 (255)
# Exits 77 (skipped) when what the test needs is not available here.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/xvfb.sh"

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    [ -s "$work/console.log" ] && sed 's/^/  console: /' "$work/console.log"
    exit 1
}

mode=${1:-}
console=${2:-}
[ -x "$console" ] || { echo "usage: $0 smoke|broken-root CONSOLE [XCLOSEWINDOW]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || skip "needs root for a private network namespace (unshare -n)"
unshare -n true 2>/dev/null || skip "cannot create a network namespace here (unshare -n)"

work=$(mktemp -d)
consolePid=
cleanup() {
    [ -n "$consolePid" ] && kill -9 "$consolePid" 2>/dev/null
    stop_xvfb
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
# Settings and the QML disk cache both stay inside the test's own folder.
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime

# Waits up to $1 seconds for the console to end; sets status.
await_exit() {
    local i
    for ((i = 0; i < $1 * 10; i++)); do
        kill -0 "$consolePid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$consolePid" 2>/dev/null && fail "the console did not end within $1 s"
    wait "$consolePid"
    status=$?
    consolePid=
}

case $mode in
smoke)
    xclose=${3:-}
    [ -x "$xclose" ] || skip "the window closing helper was not built (no Xlib)"
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v xdotool >/dev/null || skip "xdotool is not installed"
    start_xvfb 1024x768 || fail "Xvfb did not start"
    unset QT_QPA_PLATFORM QT_QUICK_BACKEND
    # Arguments that are not framework options must be ignored.
    unshare -n "$console" --no-such-option kart >"$work/console.log" 2>&1 &
    consolePid=$!
    window=$(wait_for_window "REROD Quick" 30) || fail "no console window appeared"
    sleep 2
    kill -0 "$consolePid" 2>/dev/null || fail "the console ended on its own"
    [ -z "$(ls -A "$work/config")" ] || fail "the console wrote settings without being asked: $(ls -R "$work/config")"
    "$xclose" "$window" || fail "could not ask the window to close"
    await_exit 20
    [ "$status" -eq 0 ] || fail "the console exited with status $status after its window was closed, not 0"
    echo "the console ran, showed its window $window and exited with 0 when the window was closed"
    ;;
broken-root)
    export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
    unshare -n "$console" >"$work/console.log" 2>&1 &
    consolePid=$!
    await_exit 30
    [ "$status" -eq 255 ] || fail "the console exited with status $status, not 255 (-1)"
    grep -q "NoSuchComponent" "$work/console.log" || fail "the QML error was not reported"
    echo "the console exited with -1 (255) and reported: $(grep -m1 NoSuchComponent "$work/console.log")"
    ;;
*)
    echo "unknown mode: $mode" >&2
    exit 2
    ;;
esac
