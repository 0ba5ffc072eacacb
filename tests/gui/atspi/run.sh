#!/bin/sh
# Usage: run.sh HOST_PROGRAM
# The accessibility tree as a screen reader gets it: a virtual X display, a private session bus with
# the AT-SPI bus launched on it, and the host program read by walk.py through pyatspi.
set -u
here=$(cd "$(dirname "$0")" && pwd)
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS
exec timeout -k 5 170 xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- sh -c '
    # Asking for its address starts /usr/libexec/at-spi-bus-launcher through the session bus, and
    # with it the registry; both end with the session.
    n=0
    until dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1; do
        n=$((n + 1))
        if [ $n -gt 100 ]; then
            echo "the accessibility bus did not start" >&2
            exit 1
        fi
        sleep 0.1
    done
    # The Debian interpreter, where python3-pyatspi installs (not one of a version manager).
    QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 /usr/bin/python3 "$1/walk.py" "$2"
' sh "$here" "$1"
