# Sourced by the desktop test scripts once they run inside their private session: the processes
# they start are ended on every exit, and waits are bounded.
pids=
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null; done
    for p in $pids; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
# Retries a command for up to $1 tenths of a second.
within() {
    limit=$1
    shift
    n=0
    until "$@" >/dev/null 2>&1; do
        n=$((n + 1))
        [ $n -gt "$limit" ] && return 1
        sleep 0.1
    done
}
