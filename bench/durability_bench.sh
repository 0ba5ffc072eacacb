#!/usr/bin/env bash
# What it costs that every copied file is on disk before a snapshot is published. In one run, on a
# generated assistant folder (default 5,000 files) on the file system of BENCH_TMP, alternating:
#   backup      a full `velkaro-backup-cli backup` into an empty store (copies, one syncfs, publish)
#   cp+syncfs   `cp -a` of the same files, then `sync -f` (one syncfs of that file system)
#   cp+fsync    `cp -a`, then `sync FILE...` (an fsync per file: the other way the backup could go)
#   rerun       an unchanged re-run (links only) into a store holding that snapshot
#   cp -al      hard links of the same files, the reference for the re-run
# Prints median seconds and the ratios: backup / cp+syncfs (goal <= 1.2), cp+fsync / cp+syncfs (why one
# syncfs was picked), rerun / cp -al.
#
# Usage: bench/durability_bench.sh [rounds]   (default 5, after one warm-up)
# Env:   BENCH_SIZE=5000, BENCH_TMP=/tmp (must not be a tmpfs, or syncing costs nothing),
#        VELKARO_CLI=path (default: the release build, built if missing),
#        BENCH_CLI_BEFORE=path (a build without the sync: its unchanged re-run is timed too)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
size=${BENCH_SIZE:-5000}
. bench/common.sh
if [ -n "${VELKARO_CLI:-}" ]; then cli=$VELKARO_CLI; else build_release_cli; fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-durable-XXXXXX")
trap 'rm -rf "$work"' EXIT
home="$work/home" src="$work/home/.gemini" dest="$work/home/Documents/VelkaroAntigraviti_Backups"
generate "$src" "$size"
list="$work/list"
wanted_files "$src" >"$list"
export HOME="$home" XDG_CONFIG_HOME="$home/.config"

timed() { # timed <file to append microseconds to> <command...>
    local out=$1 t0 t1
    shift
    t0=$(now_ns)
    "$@" >/dev/null
    t1=$(now_ns)
    echo $(((t1 - t0) / 1000)) >>"$out"
}
copy() { (cd "$src" && xargs -0 cp -a --parents -t "$1" <"$list"); }
fsync_each() { (cd "$1" && find . -type f -print0 | xargs -0 sync); }
link() { (cd "$src" && xargs -0 cp -al --parents -t "$1" <"$list"); }

for f in backup syncfs fsync rerun links before; do : >"$work/$f"; done
for ((round = 0; round <= rounds; round++)); do
    ((round == 0)) && sink=/dev/null || sink=""
    rm -rf "$dest" "$work/ref" && mkdir -p "$work/ref" && sync
    timed "${sink:-$work/backup}" "$cli" backup
    timed "${sink:-$work/rerun}" "$cli" backup
    if [ -n "${BENCH_CLI_BEFORE:-}" ]; then
        rm -rf "$dest" && "$BENCH_CLI_BEFORE" backup >/dev/null && sync
        timed "${sink:-$work/before}" "$BENCH_CLI_BEFORE" backup
    fi
    rm -rf "$dest" && sync
    timed "${sink:-$work/syncfs}" sh -c "$(declare -f copy); src='$src' list='$list'; copy '$work/ref' && sync -f '$work/ref'"
    rm -rf "$work/ref" && mkdir -p "$work/ref" && sync
    timed "${sink:-$work/fsync}" sh -c "$(declare -f copy fsync_each); src='$src' list='$list'; copy '$work/ref' && fsync_each '$work/ref'"
    rm -rf "$work/ref" && mkdir -p "$work/ref" && sync
    timed "${sink:-$work/links}" sh -c "$(declare -f link); src='$src' list='$list'; link '$work/ref'"
done

m() { median <"$work/$1" | awk '{ printf "%.3f", $1 / 1e6 }'; }
r() { awk -v a="$(m "$1")" -v b="$(m "$2")" 'BEGIN { printf "%.2f", a / b }'; }
echo "files $(tr -cd '\0' <"$list" | wc -c), median of $rounds rounds, seconds:"
echo "  backup $(m backup)  cp+syncfs $(m syncfs)  cp+fsync $(m fsync)  rerun $(m rerun)  cp -al $(m links)"
echo "  backup / (cp -a + syncfs)     $(r backup syncfs)   (goal <= 1.2)"
echo "  (cp -a + fsync each) / syncfs $(r fsync syncfs)"
echo "  unchanged rerun / cp -al      $(r rerun links)"
[ -s "$work/before" ] && echo "  unchanged rerun / the same rerun without the sync  $(r rerun before)"
true
