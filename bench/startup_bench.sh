#!/usr/bin/env bash
# Start-up time and idle memory of the tray application, on a virtual display with trayer as the tray
# and a home whose snapshot store holds 30 snapshots.
#   start-up: from exec to the window being visible on the X server (plain start, window mode);
#   idle RSS: VmRSS of a resident start (-m) after it has been idle for BENCH_IDLE seconds.
# Prints every round and the medians against the start-up of `xdotool` itself as a floor reference.
#
# Usage: bench/startup_bench.sh [rounds]     (default 5)
# Env:   BENCH_PRESET=release                which build preset to measure (release, ci, dev)
#        BENCH_IDLE=5                        seconds idle before the memory is read
#        BENCH_SNAPSHOTS=30                  snapshots in the store
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
preset=${BENCH_PRESET:-release}
idle=${BENCH_IDLE:-5}

if [ -z "${VELKARO_BENCH_INNER:-}" ]; then
    scripts/deps.sh bench >/dev/null
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" -j2 --target velkaro-backup velkaro-backup-cli >/dev/null
    export VELKARO_BENCH_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- "$0" "$@"
fi

app="$PWD/build/$preset/src/velkaro-backup"
cli="$PWD/build/$preset/src/cli/velkaro-backup-cli"
work=$(mktemp -d /tmp/velkaro-startup-XXXXXX)
app_pid=
tray_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME/.gemini/antigravity" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '# rules\n' >"$HOME/.gemini/GEMINI.md"
printf '{"theme": "dark"}\n' >"$HOME/.gemini/settings.json"
for i in $(seq 1 40); do printf 'note %s\n' "$i" >"$HOME/.gemini/antigravity/note-$i.md"; done
snapshots=${BENCH_SNAPSHOTS:-30}
echo "making $snapshots snapshots (one per second)..."
for i in $(seq 1 "$snapshots"); do
    "$cli" backup >/dev/null 2>&1
    sleep 1.05
done
echo "snapshots: $("$cli" list | wc -l)"

trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
tray_pid=$!
until xdotool search --classname trayer >/dev/null 2>&1; do sleep 0.1; done

now_ms() { echo $(($(date +%s%N) / 1000000)); }
stop_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    # Killed by a signal, it leaves its socket behind; the next start would handle that, but the
    # readiness test below looks at the file.
    rm -f "$XDG_RUNTIME_DIR/velkaro-backup-$(id -u)"
}
# Until the window of $app_pid is visible at 900 wide; gives up after 30 s.
wait_shown() {
    local deadline=$(($(now_ms) + 30000))
    until for w in $(xdotool search --pid "$app_pid" 2>/dev/null); do xwininfo -id "$w" 2>/dev/null; done |
        grep -A12 '^  Width: 900$' | grep -q 'Map State: IsViewable'; do
        kill -0 "$app_pid" 2>/dev/null || { echo "the application ended before its window showed" >&2; exit 1; }
        [ "$(now_ms)" -gt "$deadline" ] && { echo "no window after 30 s" >&2; exit 1; }
        sleep 0.005
    done
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

# One start that is not counted: the first Qt program in a fresh home and session pays for caches
# (fonts, the session bus's activations) that every later start finds warm. Its time is shown.
t0=$(now_ms)
"$app" >/dev/null 2>&1 &
app_pid=$!
wait_shown
echo "warm-up (cold) start-up to shown window: $(($(now_ms) - t0)) ms"
stop_app

starts=()
floors=()
rss=()
for r in $(seq 1 "$rounds"); do
    # The floor: one window query, the unit of the polling below.
    t0=$(now_ms)
    xdotool search --pid 1 >/dev/null 2>&1 || true
    floors+=($(($(now_ms) - t0)))

    t0=$(now_ms)
    "$app" >/dev/null 2>&1 &
    app_pid=$!
    wait_shown
    starts+=($(($(now_ms) - t0)))
    stop_app

    "$app" -m >/dev/null 2>&1 &
    app_pid=$!
    n=0
    until [ -S "$XDG_RUNTIME_DIR/velkaro-backup-$(id -u)" ]; do
        n=$((n + 1))
        [ $n -gt 600 ] && { echo "resident start did not come up" >&2; exit 1; }
        kill -0 "$app_pid" 2>/dev/null || { echo "resident start ended" >&2; exit 1; }
        sleep 0.05
    done
    sleep "$idle"
    rss+=($(awk '/^VmRSS/ {print $2}' "/proc/$app_pid/status"))
    stop_app
    echo "round $r: start-up to shown window ${starts[-1]} ms, idle RSS (resident) ${rss[-1]} kB, xdotool query ${floors[-1]} ms"
done
echo "median start-up to shown window: $(printf '%s\n' "${starts[@]}" | median) ms" \
    "(polling floor: one xdotool query, median $(printf '%s\n' "${floors[@]}" | median) ms)"
echo "median idle RSS, resident with 30 snapshots: $(printf '%s\n' "${rss[@]}" | median) kB"
