#!/usr/bin/env bash
# What `velkaro-backup-cli diff`, `show` and `restore` cost, in memory and with a long history:
#   file diff:  peak memory of `diff ID --file PATH` for text files of 2 and 12 MB with half their lines
#               replaced (goal: at most 3x the larger file + 20 MB; GNU `diff -u` of the same files shown
#               beside), a 100 MB text file (too large to show: goal as before) and binary files of 20 MB
#               and 2 GB (sparse; goal: the same peak for both);
#   history:    `show ID`, `diff ID` and `restore ID` on a store of 400 snapshots of 2,000 paths each
#               (path lists that all differ, a 30 MB history.json) against the same command on a store
#               holding that one snapshot only: time and peak memory (goal: at most 1.5x and 2x); and
#               `list` on the long store against `cat history.json`.
# The two sides of each comparison alternate in one run; every restore starts from the same store.
#
# Usage: bench/diff_bench.sh [rounds]        (default 5 timed rounds, after one warm-up)
# Env:   BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
#        BENCH_CLI=path                      the tool to measure instead of the release build's
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
. bench/common.sh
if [ -n "${BENCH_CLI:-}" ]; then
    cli=$(realpath "$BENCH_CLI")
    scripts/deps.sh bench >/dev/null
else
    build_release_cli
fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-diff-XXXXXX")
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT
export TZ=UTC HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$HOME/Documents/VelkaroAntigraviti_Backups"

mb() { awk '{ printf "%.1f", $1 * 1024 / 1e6 }'; } # KB (GNU time's %M) to MB
row() { printf '%-34s %-12s %-26s %-12s %-16s %s\n' "$@" | sed 's/ *$//'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print v <= g ? "met" : "MISSED" }'; }
peak() { # peak <command...>: its peak RSS in KB (output dropped)
    /usr/bin/time -f '%M' -o "$work/peak" "$@" >/dev/null 2>&1 || true
    tail -1 "$work/peak" # after "Command exited with non-zero status N" when it did
}
median_of() { tr ' ' '\n' <<<"$1" | grep . | median; }

printf 'bench folder %s on %s; %s timed rounds, medians\n\n' "$work" \
    "$(findmnt -T "$work" -no FSTYPE,SOURCE | awk '{ print $1 " (" $2 ")" }')" "$rounds"

# --- file diff memory: stored copies are put in place by hand, so no backup copies gigabytes.
mkdir -p "$src"
for f in text2.md text12.md huge.md blob20.md blob2g.md; do printf 'x\n' >"$src/$f"; done
"$cli" backup >/dev/null
id=$("$cli" list | awk 'NR == 1 { print $1 }')
data="$dest/snapshots/$id/data"
text() { # text <lines> <tag>: numbered lines of about 60 bytes, every other one marked with <tag>
    awk -v n="$1" -v t="$2" 'BEGIN { for (i = 0; i < n; i++) printf "line %09d %s the quick brown fox jumps over\n", i, (i % 2 ? "kept" : t) }'
}
text 40000 old >"$data/text2.md" && text 40000 new >"$src/text2.md"
text 240000 old >"$data/text12.md" && text 240000 new >"$src/text12.md"
text 2000000 old >"$data/huge.md" && text 2000000 new >"$src/huge.md"
head -c 20000000 /dev/zero >"$data/blob20.md" && head -c 20000001 /dev/zero >"$src/blob20.md"
truncate -s 2000000000 "$data/blob2g.md" && truncate -s 2000000001 "$src/blob2g.md"
budget() { awk -v a="$(stat -c %s "$data/$1")" -v b="$(stat -c %s "$src/$1")" 'BEGIN { m = a > b ? a : b; printf "%.0f", (3 * m + 20e6) / 1024 }'; }
for f in text2.md text12.md huge.md; do
    ours=() gnu=()
    for ((round = 0; round < rounds; round++)); do
        ours+=("$(peak "$cli" diff "$id" --file "$f")")
        gnu+=("$(peak diff -u "$data/$f" "$src/$f")")
    done
    o=$(median_of "${ours[*]}")
    ratio=$(awk -v o="$o" -v b="$(budget "$f")" 'BEGIN { printf "%.2f", o / b }')
    row "diff --file $f ($(($(stat -c %s "$src/$f") / 1000000)) MB)" "$(mb <<<"$o") MB" \
        "diff -u $(median_of "${gnu[*]}" | mb) MB" "/budget $ratio" "goal <= 1.00" "$(verdict "$ratio" 1)"
done
small=() large=()
for ((round = 0; round < rounds; round++)); do
    small+=("$(peak "$cli" diff "$id" --file blob20.md)")
    large+=("$(peak "$cli" diff "$id" --file blob2g.md)")
done
s=$(median_of "${small[*]}") l=$(median_of "${large[*]}")
ratio=$(awk -v a="$l" -v b="$s" 'BEGIN { printf "%.2f", a / b }')
row "diff --file binary 2 GB" "$(mb <<<"$l") MB" "binary 20 MB $(mb <<<"$s") MB" "ratio $ratio" "goal <= 1.05" \
    "$(verdict "$ratio" 1.05)"
rm -rf "$HOME" && echo

# --- history: one real snapshot of 2,000 files, then 399 hand-made entries around it.
mkdir -p "$src"
for ((i = 0; i < 2000; i++)); do
    mkdir -p "$src/notes/d$((i / 100))" && printf 'note %d\n' "$i" >"$src/notes/d$((i / 100))/note-$i.md"
done
"$cli" backup >/dev/null
id=$("$cli" list | awk 'NR == 1 { print $1 }')
one="$work/one-home" long="$work/long-home" # a home each, with the same sources and its own store
cp -a "$HOME" "$one"
python3 - "$dest" "$id" <<'PY'
import json, os, sys
dest, real = sys.argv[1], sys.argv[2]
with open(os.path.join(dest, "history.json")) as f:
    mine = json.load(f)[0]
entries = []
for k in range(400):
    if k == 200:
        entries.append(mine)
        continue
    day, t = 1 + k // 20, k % 20
    e = dict(mine, id=f"2025-01-{day:02d}/snapshot_{t:02d}0000", createdAt=f"2025-01-{day:02d}T{t:02d}:00:00Z")
    e["relativeFilePaths"] = [p.replace(".md", f"-v{k}.md") for p in mine["relativeFilePaths"]]
    e["triggerType"] = mine["triggerType"]
    folder = os.path.join(dest, "snapshots", e["id"])
    os.makedirs(folder)
    with open(os.path.join(folder, "snapshot.json"), "w") as f:
        json.dump(e, f, ensure_ascii=False, indent=2)
    entries.append(e)
entries.sort(key=lambda e: e["createdAt"], reverse=True)
with open(os.path.join(dest, "history.json"), "w") as f:
    f.write(json.dumps(entries, ensure_ascii=False, indent=2).replace("/", "\\/"))
PY
cp -a "$HOME" "$long"
printf 'history.json: %s MB, %s entries\n' "$(($(stat -c %s "$dest/history.json") / 1000000))" \
    "$("$cli" list | wc -l)"
rm -rf "$HOME"
# A restore adds a safety snapshot: its store is put back (hard links; the history file is replaced
# by a rename, never written into) and synced before every run.
reset_stores() {
    local h
    for h in "$one" "$long"; do
        rm -rf "$h/store" && cp -al "$h/Documents/VelkaroAntigraviti_Backups" "$h/store"
    done
}
timed() { # timed <home> <command...>: "microseconds peakKB"
    local home=$1 t0 t1 d="$1/Documents/VelkaroAntigraviti_Backups"
    shift
    if [ "$1" = restore ]; then
        rm -rf "$d" && cp -al "$home/store" "$d" && sync
    fi
    t0=$(now_ns)
    HOME=$home XDG_CONFIG_HOME=$home/.config /usr/bin/time -f '%M' -o "$work/peak" "$cli" "$@" >/dev/null 2>&1 || true
    t1=$(now_ns)
    echo "$(((t1 - t0) / 1000)) $(tail -1 "$work/peak")"
}
reset_stores
for cmd in show diff restore; do
    ratios=() mems=() longs=()
    for ((round = 0; round <= rounds; round++)); do
        read -r t1 m1 < <(timed "$one" "$cmd" "$id")
        read -r t2 m2 < <(timed "$long" "$cmd" "$id")
        ((round == 0)) && continue
        ratios+=("$(awk -v a="$t2" -v b="$t1" 'BEGIN { print a / b }')")
        mems+=("$(awk -v a="$m2" -v b="$m1" 'BEGIN { print a / b }')")
        longs+=("$t2")
    done
    rt=$(median_of "${ratios[*]}" | awk '{ printf "%.2f", $1 }')
    rm_=$(median_of "${mems[*]}" | awk '{ printf "%.2f", $1 }')
    row "$cmd ID, 400 vs 1 snapshot" "$(median_of "${longs[*]}" | awk '{ printf "%.3f s", $1 / 1e6 }')" \
        "time ratio $rt" "memory $rm_" "goal <= 1.5 / 2" "$(verdict "$rt" 1.5) / $(verdict "$rm_" 2)"
done
export HOME=$long XDG_CONFIG_HOME=$long/.config
ratios=()
for ((round = 0; round <= rounds; round++)); do
    t0=$(now_ns) && "$cli" list >/dev/null && t1=$(now_ns) && cat "$long/Documents/VelkaroAntigraviti_Backups/history.json" >/dev/null && t2=$(now_ns)
    ((round == 0)) || ratios+=("$(awk -v a="$((t1 - t0))" -v b="$((t2 - t1))" 'BEGIN { print a / b }')")
done
row "list, 400 snapshots" "" "against cat history.json" \
    "ratio $(median_of "${ratios[*]}" | awk '{ printf "%.1f", $1 }')"
