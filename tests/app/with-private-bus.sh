#!/bin/sh
# Usage: with-private-bus.sh [--dunst] <test executable> [arguments...]
# Runs the test on a private session bus. With --dunst, also on a virtual X display with dunst as the
# notification server; dunst is stopped when the test ends, and every step has a time limit.
set -u
unset DBUS_SESSION_BUS_ADDRESS
if [ "${1:-}" != --dunst ]; then
    exec timeout -k 5 100 dbus-run-session -- "$@"
fi
shift
exec timeout -k 5 160 xvfb-run -a dbus-run-session -- sh -c '
    cfg=$(mktemp) || exit 1
    # Identical notifications must stay apart, so that the tests see each one that was posted.
    printf "[global]\n    stack_duplicates = false\n" >"$cfg"
    dunst -config "$cfg" >/dev/null 2>&1 &
    dunst_pid=$!
    # Wait for the server to own its name (NameHasOwner starts nothing by activation).
    n=0
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null | grep -q true; do
        n=$((n + 1))
        if [ $n -gt 100 ] || ! kill -0 $dunst_pid 2>/dev/null; then
            echo "dunst did not start" >&2
            rm -f "$cfg"
            exit 1
        fi
        sleep 0.1
    done
    timeout -k 5 120 "$@"
    rc=$?
    kill $dunst_pid 2>/dev/null
    wait $dunst_pid 2>/dev/null
    rm -f "$cfg"
    exit $rc
' sh "$@"
