#!/usr/bin/env bash
# The history page with a long history against a short one: a store of 5,000 snapshots (a hand-made
# history.json with the snapshot folders behind it) and one of 30, each opened by
# velkaro_history_page_bench (bench/HistoryPageBench.cpp) on the offscreen platform:
#   time:   from main() to the history page painted, 5,000 against 30 (goal: at most 1.5 x);
#   memory: resident memory with the page shown, 5,000 minus 30 (goal: under 20 MB); the same before
#           the page is opened is shown beside it.
# The two sides alternate in one run; prints the medians of the timed rounds. MB are 10^6 bytes.
#
# Usage: bench/history_page_bench.sh [rounds]     (default 5 timed rounds, after one warm-up)
# Env:   BENCH_PRESET=release                     which build preset to measure (release, ci, dev)
#        BENCH_SNAPSHOTS=5000                     snapshots of the long history
#        BENCH_TMP=/tmp                           where the generated stores go (deleted afterwards)
#        BENCH_KEEP=1                             keep them, to look at them afterwards
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
preset=${BENCH_PRESET:-release}
long=${BENCH_SNAPSHOTS:-5000}
short=30

. bench/common.sh
scripts/deps.sh bench >/dev/null
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j2 --target velkaro_history_page_bench velkaro-backup-cli >/dev/null
bench="$PWD/build/$preset/bench/velkaro_history_page_bench"
cli="$PWD/build/$preset/src/cli/velkaro-backup-cli"

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-page-XXXXXX")
work=$(cd "$work" && pwd)
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

# Snapshot folders are named in local time and createdAt is in UTC: one zone makes them agree.
export TZ=UTC QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/run"
unset DBUS_SESSION_BUS_ADDRESS
mkdir -m 700 "$XDG_RUNTIME_DIR"

# A home whose store holds <count> snapshots of ten files, ten minutes apart; every fifth one has its
# own GEMINI.md, the rest hard-link the files of the first, as backups of unchanged files do. One real
# backup gives the record's shape; the others are written after it.
make_home() { # make_home <home> <count>
    local home=$1 count=$2
    mkdir -p "$home/.gemini/notes"
    printf '# rules\n' >"$home/.gemini/GEMINI.md"
    printf '{"theme": "dark"}\n' >"$home/.gemini/settings.json"
    for i in 1 2 3 4 5 6 7 8; do printf 'note %s\n' "$i" >"$home/.gemini/notes/note-$i.md"; done
    HOME="$home" XDG_CONFIG_HOME="$home/.config" "$cli" backup >/dev/null
    python3 - "$home/Documents/VelkaroAntigraviti_Backups" "$count" <<'PY'
import datetime, json, os, sys

dest, count = sys.argv[1], int(sys.argv[2])
snapshots = os.path.join(dest, "snapshots")
(day,) = os.listdir(snapshots)
(name,) = os.listdir(os.path.join(snapshots, day))
first = os.path.join(snapshots, day, name)
record = json.load(open(os.path.join(first, "snapshot.json")))
start = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)

def dump(value):
    return json.dumps(value, ensure_ascii=False, indent=2).replace("/", "\\/")

history = []
for n in range(count - 1, -1, -1):  # newest first
    at = start + datetime.timedelta(minutes=10 * n)
    snap_id = at.strftime("%Y-%m-%d/snapshot_%H%M%S")
    entry = dict(record, id=snap_id, createdAt=at.strftime("%Y-%m-%dT%H:%M:%SZ"),
                 triggerType=record["triggerType"] if n % 7 else "定期自動")
    history.append(entry)
    folder = os.path.join(snapshots, snap_id)
    for rel in entry["relativeFilePaths"]:
        target = os.path.join(folder, "data", rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        source = os.path.join(first, "data", rel)
        if n % 5 == 0 and rel == "GEMINI.md":
            with open(target, "w") as out:
                out.write("# rules %d\n" % n)
        else:
            os.link(source, target)
    with open(os.path.join(folder, "snapshot.json"), "w") as out:
        out.write(dump(entry))
os.system("rm -rf '%s'" % first)
os.rmdir(os.path.join(snapshots, day)) if not os.listdir(os.path.join(snapshots, day)) else None
with open(os.path.join(dest, "history.json"), "w") as out:
    out.write(dump(history))
PY
}

echo "making stores of $short and $long snapshots..."
make_home "$work/short" "$short"
make_home "$work/long" "$long"

# One opening: prints "total_ms ready_rss_kb open_rss_kb ready_ms open_ms cpu_ms".
open_page() { # open_page <home> <snapshot count>
    local out
    out=$(HOME="$1" XDG_CONFIG_HOME="$1/.config" "$bench")
    grep -qx "snapshots $2" <<<"$out" || { echo "unexpected: $out" >&2; exit 1; }
    awk '/^total_ms/ { t = $2 } /^ready_rss_kb/ { r = $2 } /^open_rss_kb/ { o = $2 } /^ready_ms/ { a = $2 }
        /^open_ms/ { b = $2 } /^cpu_ms/ { c = $2 } END { print t, r, o, a, b, c }' <<<"$out"
}

open_page "$work/short" "$short" >/dev/null
open_page "$work/long" "$long" >/dev/null
declare -a st sr so sc lt lr lo lc
for r in $(seq 1 "$rounds"); do
    read -r t rr oo a b c < <(open_page "$work/short" "$short")
    st+=("$t") sr+=("$rr") so+=("$oo") sc+=("$c")
    shorts="${t} ms (window $a + page $b, cpu $c), ${oo} kB"
    read -r t rr oo a b c < <(open_page "$work/long" "$long")
    lt+=("$t") lr+=("$rr") lo+=("$oo") lc+=("$c")
    echo "round $r: $short: $shorts; $long: ${t} ms (window $a + page $b, cpu $c), ${oo} kB"
done

med() { printf '%s\n' "$@" | median; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }'; }
t_short=$(med "${st[@]}") t_long=$(med "${lt[@]}")
ratio=$(awk -v a="$t_long" -v b="$t_short" 'BEGIN { printf "%.2f", a / b }')
c_short=$(med "${sc[@]}") c_long=$(med "${lc[@]}")
cpu_ratio=$(awk -v a="$c_long" -v b="$c_short" 'BEGIN { printf "%.2f", a / b }')
added=$(awk -v a="$(med "${lo[@]}")" -v b="$(med "${so[@]}")" 'BEGIN { printf "%.1f", (a - b) * 1024 / 1e6 }')
added_before=$(awk -v a="$(med "${lr[@]}")" -v b="$(med "${sr[@]}")" 'BEGIN { printf "%.1f", (a - b) * 1024 / 1e6 }')
verdict() { awk -v v="$1" -v g="$3" -v op="$2" 'BEGIN { ok = op == "<" ? v < g : v <= g; print ok ? "met" : "MISSED" }'; }
echo
echo "history page opened, $short snapshots:  ${t_short} ms (cpu ${c_short} ms), $(mb "$(med "${sr[@]}")") MB before the page, $(mb "$(med "${so[@]}")") MB with it"
echo "history page opened, $long snapshots: ${t_long} ms (cpu ${c_long} ms), $(mb "$(med "${lr[@]}")") MB before the page, $(mb "$(med "${lo[@]}")") MB with it"
echo "time $long/$short:      ${ratio} x, cpu ${cpu_ratio} x   (goal <= 1.5: $(verdict "$ratio" '<=' 1.5))"
echo "memory $long - $short:  ${added} MB with the page, ${added_before} MB before it   (goal < 20 MB: $(verdict "$added" '<' 20))"
