#!/bin/sh
# Usage: wayland-test.sh <velkaro-backup> <test_shell>
# The application under a headless Wayland compositor (weston) on a private session bus, where there is
# no tray: a resident start still shows the window at 900 × 600, a second start hands over and exits 0
# without a second window, and (in-process, test_shell's Wayland* tests) quitting ends the event loop.
# What the client and the compositor say to each other (WAYLAND_DEBUG) shows what is on screen.
set -u
if [ "${1:-}" != --inside ]; then
    scratch=$(mktemp -d) || exit 1
    trap 'rm -rf "$scratch"' EXIT
    export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_CACHE_HOME="$scratch/home/.cache"
    export XDG_DATA_HOME="$scratch/home/.local/share" XDG_RUNTIME_DIR="$scratch/run"
    mkdir -p "$HOME/.gemini" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
    unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY
    timeout -k 5 150 dbus-run-session -- sh "$0" --inside "$@"
    exit $?
fi

app=$2
test_shell=$3
. "$(dirname "$0")/inside-support.sh"
fail() {
    echo "FAIL: $*" >&2
    [ -f "$XDG_RUNTIME_DIR/weston.log" ] && tail -5 "$XDG_RUNTIME_DIR/weston.log" >&2
    exit 1
}

weston --backend=headless-backend.so --socket=velkaro-test --idle-time=0 >"$XDG_RUNTIME_DIR/weston.log" 2>&1 &
pids="$pids $!"
within 100 test -S "$XDG_RUNTIME_DIR/velkaro-test" || fail "weston did not start"
export WAYLAND_DISPLAY=velkaro-test QT_QPA_PLATFORM=wayland
# Without decorations drawn by the client, the surface is the window's content.
export QT_WAYLAND_DISABLE_WINDOWDECORATION=1

log="$XDG_RUNTIME_DIR/app.log"
WAYLAND_DEBUG=1 "$app" -m 2>"$log" &
app_pid=$!
pids="$pids $app_pid"
shown() {
    grep -q 'xdg_toplevel@[0-9]*\.set_title("Velkaro Antigravity Backup")' "$log" &&
        grep -q 'xdg_toplevel@[0-9]*\.set_app_id("velkaro-backup")' "$log" &&
        grep -q 'xdg_surface@[0-9]*\.set_window_geometry(0, 0, 900, 600)' "$log" &&
        grep -q 'wl_surface@[0-9]*\.attach(wl_buffer@' "$log"
}
within 150 shown || fail "the window was not shown at 900 × 600 (no tray, so -m must not hide it)"
toplevels() { grep -c 'get_toplevel(new id' "$log"; }
[ "$(toplevels)" -eq 1 ] || fail "$(toplevels) windows at start"

for args in "" "-m" "velkaro-backup://open"; do
    # shellcheck disable=SC2086 # an empty $args is no argument
    timeout 5 "$app" $args || fail "a second start ($args) ended with $?"
done
sleep 0.5
kill -0 "$app_pid" 2>/dev/null || fail "the running instance ended"
[ "$(toplevels)" -eq 1 ] || fail "a second start made another window"

"$test_shell" --gtest_filter='Wayland*' || fail "in-process Wayland tests"
echo "wayland ok"
