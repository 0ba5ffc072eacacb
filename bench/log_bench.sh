#!/usr/bin/env bash
# What one file's history costs: `velkaro-backup-cli log GEMINI.md` on a store of 100 snapshots of
# 5,000 files (GEMINI.md edited before every tenth run, everything else unchanged and hard-linked), against
# `velkaro-backup-cli list --json` on the same store, in alternating rounds on a warm cache. Both read the
# whole history.json; log then needs one stat per snapshot, since unchanged copies share one inode.
# Goal: log takes at most the time of list --json (ratio <= 1.0).
#
# Usage: bench/log_bench.sh [rounds]     (default 10 timed rounds, after one warm-up)
# Env:   BENCH_FILES=5000                files in the source folder
#        BENCH_SNAPSHOTS=100             backups made
#        BENCH_TMP=/tmp                  where the generated data goes (deleted afterwards)
#        BENCH_CLI=PATH                  measure another build of the tool
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-10}
files=${BENCH_FILES:-5000}
snapshots=${BENCH_SNAPSHOTS:-100}

. bench/common.sh
if [ -n "${BENCH_CLI:-}" ]; then cli=$BENCH_CLI; else build_release_cli; fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-log-XXXXXX")
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT
export TZ=UTC HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$HOME/Documents/VelkaroAntigraviti_Backups"

# Small text files in nested session folders, as an assistant leaves them.
mkdir -p "$src"
printf '# instructions\n' >"$src/GEMINI.md"
for ((i = 0; i < files - 1; i++)); do
    dir="$src/brain/session-$((i / 400))/step-$(((i / 20) % 20))"
    ((i % 20 == 0)) && mkdir -p "$dir"
    printf 'note %d\n%0*d\n' "$i" $((100 + i % 900)) 0 >"$dir/note-$i.md"
done
mkdir -p "$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup"
cat >"$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup/config.json" <<JSON
{
  "sourceDirectories": ["$src"],
  "destinationDirectory": "$dest",
  "targetExtensions": ["md", "json"],
  "backupInterval": "無効 (手動のみ)",
  "autoLaunchState": "無効",
  "startupWindowMode": "メイン画面を表示する",
  "notificationMode": "通知しない",
  "maxSnapshotsLimit": 0,
  "shouldIncludeSubdirectories": true
}
JSON

for ((k = 0; k < snapshots; k++)); do
    ((k % 10 == 0)) && printf 'edit %d\n' "$k" >>"$src/GEMINI.md"
    "$cli" backup >/dev/null
done
listed=$("$cli" list | grep -c snapshot_)
versions=$("$cli" log GEMINI.md | wc -l)
[ "$listed" -eq "$snapshots" ] || { echo "expected $snapshots snapshots, listed $listed" >&2; exit 1; }
[ "$versions" -eq $(((snapshots + 9) / 10)) ] || { echo "log found $versions versions" >&2; exit 1; }

printf 'bench folder %s on %s\n' "$work" "$(findmnt -T "$work" -no FSTYPE,SOURCE | awk '{ print $1 " (" $2 ")" }')"
printf '%s snapshots of %s files, history.json %s MB, %s versions of GEMINI.md; %s rounds, medians\n' \
    "$snapshots" "$files" "$(stat -c %s "$dest/history.json" | awk '{ printf "%.1f", $1 / 1e6 }')" "$versions" "$rounds"

: >"$work/log" && : >"$work/list" && : >"$work/ratios"
for ((round = 0; round <= rounds; round++)); do
    t0=$(now_ns)
    "$cli" log GEMINI.md >/dev/null
    t1=$(now_ns)
    "$cli" list --json >/dev/null
    t2=$(now_ns)
    ((round == 0)) && continue # warm-up
    echo $((t1 - t0)) >>"$work/log"
    echo $((t2 - t1)) >>"$work/list"
    awk -v a=$((t1 - t0)) -v b=$((t2 - t1)) 'BEGIN { print a / b }' >>"$work/ratios"
done
ratio=$(median <"$work/ratios" | awk '{ printf "%.3f", $1 }')
printf 'log GEMINI.md   %.3f s   list --json %.3f s   ratio %s   goal <= 1.0   %s\n' \
    "$(median <"$work/log" | awk '{ print $1 / 1e9 }')" "$(median <"$work/list" | awk '{ print $1 / 1e9 }')" \
    "$ratio" "$(awk -v r="$ratio" 'BEGIN { print r <= 1.0 ? "met" : "MISSED" }')"
