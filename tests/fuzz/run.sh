#!/bin/sh
# Runs one fuzz target over its seed corpus for a while: run.sh TARGET READER [SECONDS].
# READER names the corpus folder (config, snapshot, history, templates). New inputs go to a scratch
# folder, never into the checked-in corpus. A finding makes the target abort, and this script fail.
set -eu
target=$1
reader=$2
seconds=${3:-10}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
HOME=$scratch XDG_CONFIG_HOME=$scratch/config
export HOME XDG_CONFIG_HOME
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$target" -max_total_time="$seconds" -artifact_prefix="$scratch/" "$scratch" "$here/corpus/$reader"
