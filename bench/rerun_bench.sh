#!/usr/bin/env bash
# An unchanged re-run into a store that already holds 100 snapshots of the same files (a user's store
# after a few days), against `cp -al` of the same wanted files: the re-run stats each file once, checks
# it against the newest snapshot's stat record and hard-links it. The two alternate in one run; prints
# the medians and their ratio (goal <= 0.8).
#
# Usage: bench/rerun_bench.sh [rounds]       (default 7 timed rounds, after one warm-up)
# Env:   BENCH_FILES=5200                    wanted files to generate
#        BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
#        BENCH_CLI=path                      a command-line tool already built (else the release build)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-7}
files=${BENCH_FILES:-5200}
snapshots=${BENCH_SNAPSHOTS:-100}

. bench/common.sh
if [ -n "${BENCH_CLI:-}" ]; then cli=$BENCH_CLI; else build_release_cli; fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-rerun-XXXXXX")
work=$(cd "$work" && pwd)
trap '[ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
export TZ=UTC HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$HOME/Documents/VelkaroAntigraviti_Backups"
ref="$HOME/Documents/reference" # on the store's file system, as the links are

generate "$src" "$files"
# cp -al links the files it copies, which moves their change time: linking the sources themselves would
# make every later run see changed files. It links a copy of them instead, laid out the same.
mirror="$work/mirror"
cp -a "$src" "$mirror"
list="$work/list"
wanted_files "$src" >"$list"
wanted=$(tr -cd '\0' <"$list" | wc -c)
mkdir -p "$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup"
cat >"$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup/config.json" <<JSON
{
  "sourceDirectories": ["$src"],
  "destinationDirectory": "$dest",
  "targetExtensions": ["md", "json", "pbtxt", "yaml", "yml", "txt", "proto", "pb"],
  "backupInterval": "1時間ごと",
  "autoLaunchState": "無効",
  "startupWindowMode": "メイン画面を表示する",
  "notificationMode": "すべて通知 (成功・失敗)",
  "maxSnapshotsLimit": 1000,
  "shouldIncludeSubdirectories": true
}
JSON

backup() {
    local out
    out=$("$cli" backup)
    case $out in "バックアップ完了 ($wanted 件"*) ;; *) echo "unexpected: $out" >&2; exit 1 ;; esac
}

# The store: 100 runs of the unchanged folder, each its own snapshot with its own history entry.
for ((k = 0; k < snapshots; k++)); do backup; done
cp "$dest/history.json" "$work/history.json"
find "$dest/snapshots" -mindepth 2 -maxdepth 2 -type d | sort >"$work/ids"
[ "$(wc -l <"$work/ids")" -eq "$snapshots" ] || { echo "expected $snapshots snapshots, found $(wc -l <"$work/ids")" >&2; exit 1; }

printf 'bench folder %s on %s\n' "$work" "$(findmnt -T "$work" -no FSTYPE | head -1)"
printf 'source: %s wanted files; store: %s snapshots, history.json %s MB; %s timed rounds, medians\n' \
    "$wanted" "$snapshots" "$(stat -c %s "$dest/history.json" | awk '{ printf "%.1f", $1 / 1e6 }')" "$rounds"

: >"$work/rerun" && : >"$work/cp-al" && : >"$work/ratios" && : >"$work/floor"
for ((round = 0; round <= rounds; round++)); do
    sync
    t0=$(now_ns)
    backup
    t1=$(now_ns)
    # Back to the 100 snapshots: the new folder goes and history.json is as it was.
    find "$dest/snapshots" -mindepth 2 -maxdepth 2 -type d | sort | comm -13 "$work/ids" - | xargs -r rm -rf
    cp "$work/history.json" "$dest/history.json"

    rm -rf "$ref" && mkdir -p "$ref" && sync
    t2=$(now_ns)
    (cd "$mirror" && xargs -0 cp -al --parents -t "$ref" <"$list")
    t3=$(now_ns)
    sync
    t4=$(now_ns)
    dd if="$work/history.json" of="$work/history.tmp" bs=4M conv=fsync status=none
    mv "$work/history.tmp" "$work/history.out" && sync "$work"
    t5=$(now_ns)
    ((round == 0)) && continue # warm-up
    awk -v h="$(((t5 - t4) / 1000))" -v l="$(((t3 - t2) / 1000))" 'BEGIN { print h / l }' >>"$work/floor"
    b=$(((t1 - t0) / 1000)) l=$(((t3 - t2) / 1000))
    echo "$b" >>"$work/rerun"
    echo "$l" >>"$work/cp-al"
    awk -v b="$b" -v l="$l" 'BEGIN { print b / l }' >>"$work/ratios"
done
ratio=$(median <"$work/ratios" | awk '{ printf "%.3f", $1 }')
printf 'unchanged re-run, %s snapshots  %.3f s   cp -al %.3f s   ratio %s   goal <= 0.8   %s\n' "$snapshots" \
    "$(median <"$work/rerun" | awk '{ print $1 / 1e6 }')" "$(median <"$work/cp-al" | awk '{ print $1 / 1e6 }')" \
    "$ratio" "$(awk -v r="$ratio" 'BEGIN { print r <= 0.8 ? "met" : "MISSED" }')"
printf 'history.json alone, written and synced: %s of cp -al\n' "$(median <"$work/floor" | awk '{ printf "%.3f", $1 }')"
