#!/usr/bin/env bash
# Every efficiency figure in one run: the store as it fills (history_bench.sh), then backup against
# cp -a on 5,000 and 50,000 files (backup_bench.sh), then diff against diff -rq (compare_bench.sh).
#
# Usage: bench/efficiency_bench.sh [rounds]  (default 5 timed rounds, after one warm-up, in each)
# Env:   BENCH_TMP=/tmp                      where the generated data goes (deleted afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== the store as it fills (bench/history_bench.sh)"
bench/history_bench.sh "$@"
echo
echo "== backup against cp -a (bench/backup_bench.sh)"
BENCH_SIZES="5000 50000" bench/backup_bench.sh "$@"
echo
echo "== diff against diff -rq (bench/compare_bench.sh)"
bench/compare_bench.sh "$@"
