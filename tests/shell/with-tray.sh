#!/bin/sh
# Usage: with-tray.sh <test executable> [arguments...]
# Runs the test on a virtual X display (1280x1024) and a private session bus, with trayer as a real
# system tray. Every step has a time limit; trayer is stopped at the end.
set -u
unset DBUS_SESSION_BUS_ADDRESS
exec timeout -k 5 170 xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- sh -c '
    trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
    tray_pid=$!
    n=0
    until xdotool search --classname trayer >/dev/null 2>&1; do
        n=$((n + 1))
        if [ $n -gt 100 ] || ! kill -0 $tray_pid 2>/dev/null; then
            echo "trayer did not start" >&2
            exit 1
        fi
        sleep 0.1
    done
    QT_QPA_PLATFORM=xcb timeout -k 5 150 "$@"
    rc=$?
    kill $tray_pid 2>/dev/null
    wait $tray_pid 2>/dev/null
    exit $rc
' sh "$@"
