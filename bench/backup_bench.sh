#!/usr/bin/env bash
# Times `velkaro-backup-cli backup` against `cp -a` of the same wanted files, alternating the two in
# one run, on a generated assistant folder of about 5,000 files / 300 MB and on one of 50,000 files.
# Prints the median time ratio and the backup's peak memory (maximum resident set size) per size.
#
# Usage: bench/backup_bench.sh [rounds]      (default 5 timed rounds per size, after one warm-up)
# Env:   BENCH_SIZES="5000 50000"            file counts to generate
#        BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
sizes=${BENCH_SIZES:-"5000 50000"}

. bench/common.sh
build_release_cli

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '%-7s %-7s %-7s %-10s %-10s %-8s %s\n' files wanted MB backup_s cp_s ratio backup_peak_rss
for size in $sizes; do
    home="$work/home-$size"
    src="$home/.gemini"
    dest="$home/Documents/VelkaroAntigraviti_Backups"
    ref="$work/cp-$size"
    generate "$src" "$size"

    # The files the backup takes with the default settings, for cp -a (listed outside the timing).
    list="$work/list-$size"
    wanted_files "$src" >"$list"
    wanted=$(tr -cd '\0' <"$list" | wc -c)
    mb=$(wanted_bytes "$src" "$list" | awk '{ printf "%.0f", $1 / 1000000 }')

    : >"$work/ratios" && : >"$work/backup" && : >"$work/cp" && : >"$work/rss"
    for ((round = 0; round <= rounds; round++)); do
        rm -rf "$dest" "$ref" && sync
        t0=$(now_ns)
        out=$(HOME="$home" XDG_CONFIG_HOME="$home/.config" /usr/bin/time -f '%M' -o "$work/time" "$cli" backup)
        t1=$(now_ns)
        case $out in "バックアップ完了 ($wanted 件"*) ;; *) echo "unexpected: $out" >&2; exit 1 ;; esac

        rm -rf "$dest" && mkdir -p "$ref" && sync
        t2=$(now_ns)
        (cd "$src" && /usr/bin/time -f '%M' -o "$work/time-cp" xargs -0 cp -a --parents -t "$ref" <"$list")
        t3=$(now_ns)
        ((round == 0)) && continue # warm-up
        b=$(((t1 - t0) / 1000)) c=$(((t3 - t2) / 1000))
        echo "$b" >>"$work/backup"
        echo "$c" >>"$work/cp"
        awk -v b="$b" -v c="$c" 'BEGIN { print b / c }' >>"$work/ratios"
        cat "$work/time" >>"$work/rss"
    done
    printf '%-7s %-7s %-7s %-10.3f %-10.3f %-8.3f %s KB\n' "$size" "$wanted" "$mb" \
        "$(median <"$work/backup" | awk '{ print $1 / 1e6 }')" "$(median <"$work/cp" | awk '{ print $1 / 1e6 }')" \
        "$(median <"$work/ratios")" "$(sort -n "$work/rss" | tail -1)"
    rm -rf "$home" "$ref"
done
