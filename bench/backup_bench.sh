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

scripts/deps.sh bench >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velkaro-backup-cli >/dev/null
cli="$PWD/build/release/src/cli/velkaro-backup-cli"

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# A realistic ~/.gemini: many small .md/.json/.txt files in nested session folders, a few hundred
# .pb files of 100 KB to 5 MB, hidden folders and files (skipped), and files of unwanted types.
generate() { # generate <folder> <wanted file count>
    local g=$1 count=$2
    local pbs=220 small=$(($2 - 220 - 2))
    RANDOM=42
    local text
    text=$(head -c 6000 /dev/urandom | base64 -w 0)
    mkdir -p "$g"
    printf '# instructions\n%s\n' "${text:0:3000}" >"$g/GEMINI.md"
    printf '{"theme": "dark"}\n' >"$g/settings.json"
    local i dir ext
    for ((i = 0; i < small; i++)); do
        dir="$g/antigravity/brain/session-$((i / 400))/step-$(((i / 20) % 20))"
        ((i % 20 == 0)) && mkdir -p "$dir"
        case $((i % 3)) in 0) ext=md ;; 1) ext=json ;; *) ext=txt ;; esac
        printf '%s\n' "${text:0:$((200 + RANDOM % 7800))}" >"$dir/note-$i.$ext"
    done
    mkdir -p "$g/antigravity/conversations"
    for ((i = 0; i < pbs; i++)); do
        local r=$((RANDOM % 1000))
        head -c $((100000 + r * r * r / 1000000 * 4900)) /dev/urandom >"$g/antigravity/conversations/c-$i.pb"
    done
    # Skipped: hidden folders and files, links, unwanted types.
    mkdir -p "$g/.cache/blobs" "$g/antigravity/.git/objects" "$g/tmp/images"
    for ((i = 0; i < count / 10; i++)); do
        printf '%s' "${text:0:1000}" >"$g/.cache/blobs/b-$i.json"
    done
    for ((i = 0; i < 200; i++)); do
        printf '%s' "${text:0:500}" >"$g/antigravity/.git/objects/o-$i.md"
        printf '%s' "${text:0:2000}" >"$g/tmp/images/shot-$i.png"
        printf '%s' "${text:0:300}" >"$g/antigravity/brain/.hidden-$i.md"
    done
    head -c 20000000 /dev/urandom >"$g/tmp/history.sqlite"
    printf 'TOKEN=x\n' >"$g/.env"
    ln -s ../GEMINI.md "$g/antigravity/linked.md"
}

now_ns() { date +%s%N; }

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

printf '%-7s %-7s %-7s %-10s %-10s %-8s %s\n' files wanted MB backup_s cp_s ratio backup_peak_rss
for size in $sizes; do
    home="$work/home-$size"
    src="$home/.gemini"
    dest="$home/Documents/VelkaroAntigraviti_Backups"
    ref="$work/cp-$size"
    generate "$src" "$size"

    # The files the backup takes with the default settings, for cp -a (listed outside the timing).
    list="$work/list-$size"
    (cd "$src" && find . -mindepth 1 -name '.*' -prune -o -type f \( -name GEMINI.md -o -name AGENTS.md \
        -o -iname '*.md' -o -iname '*.json' -o -iname '*.pbtxt' -o -iname '*.yaml' -o -iname '*.yml' \
        -o -iname '*.txt' -o -iname '*.proto' -o -iname '*.pb' \) -print0) >"$list"
    wanted=$(tr -cd '\0' <"$list" | wc -c)
    mb=$( (cd "$src" && du -cb --files0-from="$list") | tail -1 | awk '{ printf "%.0f", $1 / 1000000 }')

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
