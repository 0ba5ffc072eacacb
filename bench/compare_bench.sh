#!/usr/bin/env bash
# How fast `velkaro-backup-cli diff ID` compares a snapshot with the current files, on a generated assistant
# folder of about 5,000 wanted files / 300 MB backed up once by the tool itself:
#   unchanged:   the sources as the snapshot took them, against `diff -rq <snapshot data/> <source>`;
#   50 changed:  25 files appended to and 25 rewritten with other bytes of the same size (so only their
#                content tells), against the same `diff -rq`.
# The two sides alternate in one run, with the page cache warm (a warm-up round first). Prints the median
# of the per-round time ratios with its goal, and the median times.
#
# Usage: bench/compare_bench.sh [rounds]     (default 7 timed rounds per phase, after one warm-up)
# Env:   BENCH_FILES=5000                    wanted files to generate
#        BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
#        BENCH_CLI=path                      the tool to measure instead of the release build's
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-7}
files=${BENCH_FILES:-5000}
changes=50

. bench/common.sh
if [ -n "${BENCH_CLI:-}" ]; then
    cli=$(realpath "$BENCH_CLI")
else
    build_release_cli
fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-compare-XXXXXX")
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$HOME/Documents/VelkaroAntigraviti_Backups"

seconds() { awk '{ printf "%.3f", $1 / 1e6 }'; } # microseconds to seconds
row() { printf '%-26s %-10s %-22s %-13s %-14s %s\n' "$@" | sed 's/ *$//'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print v <= g ? "met" : "MISSED" }'; }

generate "$src" "$files"
wanted=$(wanted_files "$src" | tr -cd '\0' | wc -c)
out=$("$cli" backup)
case $out in "バックアップ完了 ($wanted 件"*) ;; *) echo "unexpected: $out" >&2; exit 1 ;; esac
id=$("$cli" list | awk 'NR == 1 { print $1 }')
data="$dest/snapshots/$id/data"
[ -d "$data" ] || { echo "no data folder for $id" >&2; exit 1; }

printf 'bench folder %s on %s\n' "$work" "$(findmnt -T "$work" -no FSTYPE,SOURCE | awk '{ print $1 " (" $2 ")" }')"
printf 'snapshot %s: %s files, %s MB; %s timed rounds per phase after a warm-up, medians\n\n' "$id" "$wanted" \
    "$(du -sb "$data" | awk '{ printf "%.0f", $1 / 1e6 }')" "$rounds"

# One phase: `diff ID` and `diff -rq` in turn, each checked for the answer it must give.
measure() { # measure <label> <expected exit> <expected summary> <goal>
    local label=$1 code=$2 summary=$3 goal=$4 round t0 t1 t2 got
    : >"$work/ours" && : >"$work/ref" && : >"$work/ratios"
    for ((round = 0; round <= rounds; round++)); do
        t0=$(now_ns)
        got=0
        "$cli" diff "$id" >"$work/out" || got=$?
        t1=$(now_ns)
        diff -rq "$data" "$src" >/dev/null || true
        t2=$(now_ns)
        if [ "$got" -ne "$code" ] || [ "$(tail -1 "$work/out")" != "$summary" ]; then
            echo "$label: diff exited $got with: $(tail -1 "$work/out")" >&2
            exit 1
        fi
        ((round == 0)) && continue # warm-up
        echo $(((t1 - t0) / 1000)) >>"$work/ours"
        echo $(((t2 - t1) / 1000)) >>"$work/ref"
        awk -v a="$((t1 - t0))" -v b="$((t2 - t1))" 'BEGIN { print a / b }' >>"$work/ratios"
    done
    local ratio
    ratio=$(median <"$work/ratios" | awk '{ printf "%.3f", $1 }')
    row "$label" "$(median <"$work/ours" | seconds) s" "diff -rq $(median <"$work/ref" | seconds) s" \
        "ratio $ratio" "goal <= $goal" "$(verdict "$ratio" "$goal")"
}

measure "diff, unchanged" 0 "変更 0 件、追加 0 件、削除 0 件、変更なし $wanted 件" 1.0

# Every 90th small file: half of them grow by a line, half keep their size with other bytes.
mapfile -t picked < <(cd "$src" && find antigravity/brain -type f -name 'note-*' | sort | awk 'NR % 90 == 0' \
    | head -n "$changes")
[ "${#picked[@]}" -eq "$changes" ] || { echo "only ${#picked[@]} files to change" >&2; exit 1; }
for ((i = 0; i < changes; i++)); do
    f="$src/${picked[i]}"
    if ((i % 2 == 0)); then
        echo "edited" >>"$f"
    else
        size=$(stat -c %s "$f")
        head -c "$size" /dev/zero | tr '\0' 'z' >"$f"
    fi
done
measure "diff, $changes changed" 1 "変更 $changes 件、追加 0 件、削除 0 件、変更なし $((wanted - changes)) 件" 1.2
