#!/usr/bin/env bash
# How the snapshot store costs as it fills, on a generated assistant folder of about 5,000 files / 300 MB:
#   re-run:  a second `backup` of the unchanged folder into a store holding one snapshot, against `cp -a`
#            and `cp -al` of the same wanted files, and how much the store grows by it (du over the whole store, so
#            that hard-linked files count once);
#   history: a `backup` into a store holding 100 snapshots with a limit of 100 (so retention removes the
#            oldest), against the same run into an empty store: time and peak memory;
#   list:    `velkaro-backup-cli list` on the 100-snapshot store, against `cat history.json`.
# The two sides of each comparison alternate in one run; every round starts from the same store. Prints
# the medians of the timed rounds, each figure with its goal. MB are 10^6 bytes.
#
# Usage: bench/history_bench.sh [rounds]     (default 5 timed rounds per phase, after one warm-up)
# Env:   BENCH_FILES=5000                    wanted files to generate
#        BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
files=${BENCH_FILES:-5000}
snapshots=100
step=25200 # seconds between the older snapshots: 7 hours, so 100 of them span about 29 days

. bench/common.sh
build_release_cli

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-history-XXXXXX")
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT

# Snapshot folders are named in local time and createdAt is in UTC: one zone makes them agree.
export TZ=UTC
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$HOME/Documents/VelkaroAntigraviti_Backups"
ref="$work/reference"

id_at() { date -u -d "@$1" '+%Y-%m-%d/snapshot_%H%M%S'; }
iso_at() { date -u -d "@$1" '+%Y-%m-%dT%H:%M:%SZ'; }
# The id as the JSON files spell it ("/" escaped), written so that sed reads it literally on both sides.
sed_id_at() { id_at "$1" | sed 's|/|\\\\/|'; }
# The sed script that turns the snapshot taken at <from> into one taken at <to>.
retime_script() { printf 's|"%s"|"%s"|; s|"%s"|"%s"|' "$(sed_id_at "$1")" "$(sed_id_at "$2")" "$(iso_at "$1")" "$(iso_at "$2")"; }

seconds() { awk '{ printf "%.3f", $1 / 1e6 }'; }          # microseconds to seconds
megabytes() { awk '{ printf "%.1f", $1 * 1024 / 1e6 }'; } # KB (GNU time's %M) to MB
# One line of the report: what, the figure, the reference it is set against, their ratio, the goal and
# whether it is met.
row() { printf '%-30s %-11s %-27s %-13s %-15s %s\n' "$@" | sed 's/ *$//'; }
# met or MISSED: verdict <figure> <operator> <goal>
verdict() { awk -v v="$1" -v g="$3" -v op="$2" 'BEGIN { ok = op == "<" ? v < g : v <= g; print ok ? "met" : "MISSED" }'; }

# One backup run; anything but a snapshot of every wanted file ends the benchmark.
backup() { # backup <file for the peak RSS>
    local out
    out=$(/usr/bin/time -f '%M' -o "$1" "$cli" backup)
    case $out in "バックアップ完了 ($wanted 件"*) ;; *) echo "unexpected: $out" >&2; exit 1 ;; esac
}

snapshot_count() { find "$dest/snapshots" -mindepth 2 -maxdepth 2 -type d -name 'snapshot_*' | wc -l; }

# Back to the snapshots listed in <ids> and the history saved in <history>: folders not listed go, and
# so do the day folders they leave empty.
reset_store() { # reset_store <ids> <history>
    local folder
    for folder in "$dest"/snapshots/*/snapshot_*; do
        grep -qxF "${folder#"$dest/snapshots/"}" "$1" || rm -rf "$folder"
    done
    rmdir "$dest"/snapshots/* 2>/dev/null || true
    cp "$2" "$dest/history.json"
}

generate "$src" "$files"
list="$work/list"
wanted_files "$src" >"$list"
wanted=$(tr -cd '\0' <"$list" | wc -c)
wanted_size=$(wanted_bytes "$src" "$list")

# The default settings with the folders spelled out and room for 100 snapshots.
mkdir -p "$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup"
cat >"$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup/config.json" <<EOF
{
  "sourceDirectories": ["$src"],
  "destinationDirectory": "$dest",
  "targetExtensions": ["md", "json", "pbtxt", "yaml", "yml", "txt", "proto", "pb"],
  "backupInterval": "1時間ごと",
  "autoLaunchState": "無効",
  "startupWindowMode": "メイン画面を表示する",
  "notificationMode": "すべて通知 (成功・失敗)",
  "maxSnapshotsLimit": $snapshots,
  "shouldIncludeSubdirectories": true
}
EOF

printf 'bench folder %s on %s\n' "$work" "$(findmnt -T "$work" -no FSTYPE,SOURCE | awk '{ print $1 " (" $2 ")" }')"
printf 'source: %s wanted files, %s MB; %s timed rounds per phase after a warm-up, medians\n\n' "$wanted" \
    "$(awk -v b="$wanted_size" 'BEGIN { printf "%.0f", b / 1e6 }')" "$rounds"

# --- The first snapshot, moved an hour back so that every later run gets a second of its own.
backup "$work/rss"
taken=$(find "$dest/snapshots" -mindepth 2 -maxdepth 2 -type d -name 'snapshot_*')
[ "$(wc -l <<<"$taken")" -eq 1 ] || { echo "expected one snapshot, found: $taken" >&2; exit 1; }
name=${taken#"$dest/snapshots/"}
hms=${name#*/snapshot_}
t_first=$(date -u -d "${name%%/*} ${hms:0:2}:${hms:2:2}:${hms:4:2}" +%s)
grep -q "\"$(iso_at "$t_first")\"" "$taken/snapshot.json" || { echo "createdAt of $name is not its folder's" >&2; exit 1; }
base=$((t_first - 3600))
base_id=$(id_at "$base")
mkdir -p "$dest/snapshots/${base_id%/*}"
mv "$taken" "$dest/snapshots/$base_id"
rmdir "$dest/snapshots/${name%/*}" 2>/dev/null || true
sed -i "$(retime_script "$t_first" "$base")" "$dest/snapshots/$base_id/snapshot.json" "$dest/history.json"
echo "$base_id" >"$work/ids-one"
cp "$dest/history.json" "$work/history-one.json"
[ "$("$cli" list | awk '{ print $1 }')" = "$base_id" ] || { echo "the moved snapshot is not listed" >&2; exit 1; }

# --- Re-run of the unchanged folder against cp -a.
: >"$work/rerun" && : >"$work/cp" && : >"$work/cp-al" && : >"$work/ratios" && : >"$work/ratios-al" && : >"$work/growth"
for ((round = 0; round <= rounds; round++)); do
    rm -rf "$ref"
    before=$(du -sb "$dest" | cut -f1)
    sync
    t0=$(now_ns)
    backup "$work/rss"
    t1=$(now_ns)
    after=$(du -sb "$dest" | cut -f1)
    [ "$(snapshot_count)" -eq 2 ] || { echo "the re-run left $(snapshot_count) snapshots, not 2" >&2; exit 1; }
    reset_store "$work/ids-one" "$work/history-one.json"

    mkdir -p "$ref" && sync
    t2=$(now_ns)
    (cd "$src" && xargs -0 cp -a --parents -t "$ref" <"$list")
    t3=$(now_ns)
    # A hard-linked copy of the same files: what an unchanged re-run mostly does.
    rm -rf "$ref" && mkdir -p "$ref" && sync
    t4=$(now_ns)
    (cd "$src" && xargs -0 cp -al --parents -t "$ref" <"$list")
    t5=$(now_ns)
    ((round == 0)) && continue # warm-up
    b=$(((t1 - t0) / 1000)) c=$(((t3 - t2) / 1000)) l=$(((t5 - t4) / 1000))
    echo "$b" >>"$work/rerun"
    echo "$c" >>"$work/cp"
    echo "$l" >>"$work/cp-al"
    awk -v b="$b" -v c="$c" 'BEGIN { print b / c }' >>"$work/ratios"
    awk -v b="$b" -v l="$l" 'BEGIN { print b / l }' >>"$work/ratios-al"
    echo $((after - before)) >>"$work/growth"
done
rm -rf "$ref"
rerun_us=$(median <"$work/rerun")
ratio=$(median <"$work/ratios" | awk '{ printf "%.3f", $1 }')
growth=$(median <"$work/growth")
growth_pct=$(awk -v g="$growth" -v w="$wanted_size" 'BEGIN { printf "%.2f", g * 100 / w }')
row "unchanged re-run, 1 snapshot" "$(seconds <<<"$rerun_us") s" "cp -a $(median <"$work/cp" | seconds) s" \
    "ratio $ratio" "goal <= 0.15" "$(verdict "$ratio" '<=' 0.15)"
row "  against cp -al" "" "cp -al $(median <"$work/cp-al" | seconds) s" \
    "ratio $(median <"$work/ratios-al" | awk '{ printf "%.3f", $1 }')" "no goal"
row "store growth by the re-run" "$growth_pct %" "of the source's size" \
    "($(awk -v g="$growth" 'BEGIN { printf "%.2f", g / 1e6 }') MB)" "goal < 1 %" "$(verdict "$growth_pct" '<' 1)"

# --- 99 older snapshots: hard-linked copies of the first under earlier ids, each with its own
# snapshot.json, and a history.json listing all 100 newest first.
: >"$work/ids-full"
sed '1d;$d' "$work/history-one.json" >"$work/entry.json" # the one entry, without the brackets
{
    echo '['
    for ((k = 0; k < snapshots; k++)); do
        t=$((base - k * step))
        id=$(id_at "$t")
        echo "$id" >>"$work/ids-full"
        if ((k > 0)); then
            mkdir -p "$dest/snapshots/${id%/*}"
            cp -al "$dest/snapshots/$base_id" "$dest/snapshots/$id"
            sed -i "$(retime_script "$base" "$t")" "$dest/snapshots/$id/snapshot.json" # sed -i breaks the link
        fi
        script=$(retime_script "$base" "$t")
        ((k < snapshots - 1)) && script+='; $s/$/,/'
        sed "$script" "$work/entry.json"
    done
    echo ']'
} >"$dest/history.json"
cp "$dest/history.json" "$work/history-full.json"
oldest=$(tail -1 "$work/ids-full")
cp -al "$dest/snapshots/$oldest" "$work/oldest" # brought back after retention removes it
"$cli" list | awk '{ print $1 }' | cmp -s - "$work/ids-full" \
    || { echo "list does not show the $snapshots snapshots built" >&2; exit 1; }

# --- A run with the full history against the same run into an empty store.
: >"$work/full" && : >"$work/empty" && : >"$work/ratios" && : >"$work/rss-full" && : >"$work/rss-empty"
for ((round = 0; round <= rounds; round++)); do
    sync
    t0=$(now_ns)
    backup "$work/rss"
    t1=$(now_ns)
    if [ "$(snapshot_count)" -ne "$snapshots" ] || [ -e "$dest/snapshots/$oldest" ]; then
        echo "retention did not keep $snapshots snapshots without the oldest" >&2
        exit 1
    fi
    rss_full=$(cat "$work/rss")
    reset_store "$work/ids-full" "$work/history-full.json"
    mkdir -p "$dest/snapshots/${oldest%/*}"
    cp -al "$work/oldest" "$dest/snapshots/$oldest"

    mv "$dest" "$work/store-full"
    sync
    t2=$(now_ns)
    backup "$work/rss"
    t3=$(now_ns)
    rm -rf "$dest"
    mv "$work/store-full" "$dest"
    ((round == 0)) && continue # warm-up
    f=$(((t1 - t0) / 1000)) e=$(((t3 - t2) / 1000))
    echo "$f" >>"$work/full"
    echo "$e" >>"$work/empty"
    awk -v f="$f" -v e="$e" 'BEGIN { print f / e }' >>"$work/ratios"
    echo "$rss_full" >>"$work/rss-full"
    cat "$work/rss" >>"$work/rss-empty"
done
ratio=$(median <"$work/ratios" | awk '{ printf "%.3f", $1 }')
rss_full=$(median <"$work/rss-full")
rss_empty=$(median <"$work/rss-empty")
rss_ratio=$(awk -v f="$rss_full" -v e="$rss_empty" 'BEGIN { printf "%.2f", f / e }')
full_us=$(median <"$work/full")
row "backup, $snapshots snapshots" "$(seconds <<<"$full_us") s" "empty store $(median <"$work/empty" | seconds) s" \
    "ratio $ratio" "goal <= 1.3" "$(verdict "$ratio" '<=' 1.3)"
row "peak memory of that backup" "$(megabytes <<<"$rss_full") MB" "empty store $(megabytes <<<"$rss_empty") MB" \
    "ratio $rss_ratio" "goal <= 2" "$(verdict "$rss_ratio" '<=' 2)"
# Not alternated with the re-run above, so only a hint of what the history itself costs a run.
row "  against the re-run" "" "1 snapshot $(seconds <<<"$rerun_us") s" \
    "ratio $(awk -v f="$full_us" -v r="$rerun_us" 'BEGIN { printf "%.3f", f / r }')" "no goal"

# --- list on the full store against cat of its history.json.
: >"$work/list-t" && : >"$work/cat" && : >"$work/ratios" && : >"$work/rss-list"
for ((round = 0; round <= rounds; round++)); do
    t0=$(now_ns)
    /usr/bin/time -f '%M' -o "$work/rss" "$cli" list >/dev/null
    t1=$(now_ns)
    /usr/bin/time -f '%M' -o "$work/rss-cat" cat "$dest/history.json" >/dev/null
    t2=$(now_ns)
    ((round == 0)) && continue # warm-up
    l=$(((t1 - t0) / 1000)) c=$(((t2 - t1) / 1000))
    echo "$l" >>"$work/list-t"
    echo "$c" >>"$work/cat"
    awk -v l="$l" -v c="$c" 'BEGIN { print l / c }' >>"$work/ratios"
    cat "$work/rss" >>"$work/rss-list"
done
list_s=$(median <"$work/list-t" | seconds)
list_mb=$(median <"$work/rss-list" | megabytes)
row "list, $snapshots snapshots" "$list_s s" "cat history.json $(median <"$work/cat" | seconds) s" \
    "ratio $(median <"$work/ratios" | awk '{ printf "%.1f", $1 }')" "goal <= 0.15 s" "$(verdict "$list_s" '<=' 0.15)"
row "peak memory of list" "$list_mb MB" "" "" "goal <= 40 MB" "$(verdict "$list_mb" '<=' 40)"
row "history.json" "$(stat -c %s "$dest/history.json" | awk '{ printf "%.1f", $1 / 1e6 }') MB" \
    "$snapshots x $wanted paths" "" "no goal"
