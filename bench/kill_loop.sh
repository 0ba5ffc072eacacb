#!/usr/bin/env bash
# Fault injection: runs `backup`, `restore` and `delete` of velkaro-backup-cli over a changing source
# folder and kills each run with SIGKILL at a random moment, then checks the store and the source:
#   lost:      a snapshot that was listed whole is gone without a delete or retention asking for it, or
#              its stored files were written again (another inode, size or time);
#   torn:      a listed snapshot whose folder stands but lacks its snapshot.json or a recorded file, or
#              whose files do not add up to its recorded size; or a source file cut short by a restore.
# The first half of the rounds runs without a snapshot limit, the second with a limit of 6 (retention).
# Retention keeps distinct versions: a snapshot whose files are all in another one (the same copies) may go
# before the oldest, and its going loses nothing.
# With --fast, runs come faster than one a second: a limit of 3 throughout, a burst of three complete backups
# before each killed command, a kill within 60 ms, and after it one complete backup, which must leave
#   broken:    a listed snapshot whose folder is gone, more snapshots listed than the limit, or a newest
#              id that is not the last complete run's (ids went backwards).
# Each such id is one second after the newest, so the ids run ahead of the clock; a store dated more than a
# minute ahead is taken for a wrong clock (new ids go back to the clock), so the fast loop waits whenever
# its newest snapshot is more than 40 seconds ahead.
# Prints one line per 50 rounds and a summary; exits 1 when anything was lost, torn or broken.
#
# Usage: bench/kill_loop.sh [--fast] [rounds]   (default 200)
# Env:   VELKARO_CLI=path                  (default build/ci/src/cli/velkaro-backup-cli, built if missing)
#        BENCH_TMP=/tmp                    where the store and the source go (deleted afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."

fast=0
if [ "${1:-}" = --fast ]; then fast=1 && shift; fi
rounds=${1:-200}
cli=${VELKARO_CLI:-$PWD/build/ci/src/cli/velkaro-backup-cli}
[ -x "$cli" ] || cmake --build build/ci -j2 --target velkaro-backup-cli >/dev/null

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-kill-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TZ=UTC HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
src="$HOME/.gemini"
dest="$work/store"
state="$work/state.json"
mkdir -p "$src/sessions" "$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup"

configure() { # configure <limit>
    cat >"$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup/config.json" <<EOF
{
  "sourceDirectories": ["$src"],
  "destinationDirectory": "$dest",
  "targetExtensions": ["md", "json"],
  "backupInterval": "1時間ごと",
  "autoLaunchState": "無効",
  "startupWindowMode": "メイン画面を表示する",
  "notificationMode": "すべて通知 (成功・失敗)",
  "maxSnapshotsLimit": $1,
  "shouldIncludeSubdirectories": true
}
EOF
}

# A source file of a known length for its index, whatever its version: a cut-short copy shows.
write_file() { # write_file <index> <version>
    local size=$((200 + $1 * 37))
    local letters=abcdefghijklmnopqrstuvwxyz
    { printf 'v%06d\n' "$2"; printf '%*s' "$size" '' | tr ' ' "${letters:$(($2 % 26)):1}"; } >"$src/sessions/f$1.md"
}
write_large() { # write_large <version>: 24 MB, so that copies take a while
    { printf 'v%06d\n' "$1"; head -c $((24 << 20)) /dev/zero; } >"$src/large.json"
}

for i in $(seq 0 199); do write_file "$i" 0; done
write_large 0
configure 0
"$cli" backup >/dev/null

# The checker: compares the store with what the previous round saw, then remembers the new state.
check() { # check <action> <target id> <limit> [id the newest must have]
    "$cli" list --json >"$work/listing.json" # a long history is more than one argument may hold
    python3 - "$dest" "$src" "$state" "$1" "$2" "$3" "$work/listing.json" "${4:-}" <<'PY'
import json, os, sys
dest, src, state_file, action, target, limit, listing_file, newest = sys.argv[1:9]
listing = open(listing_file).read()
limit = int(limit)
broken = 0
state = json.load(open(state_file)) if os.path.exists(state_file) else {"whole": {}, "deleted": []}
if action == "delete":
    state["deleted"].append(target)
lost = torn = 0
whole, folderless = {}, []
# Snapshots moved aside by a delete or retention that a kill cut short: the next run finishes them.
being_removed = set()
for name in os.listdir(os.path.join(dest, "snapshots")):
    try:
        with open(os.path.join(dest, "snapshots", name, "snapshot.json")) as record:
            if name.startswith(".velkaro-staging-"):
                being_removed.add(json.load(record)["id"])
    except (OSError, ValueError, KeyError):
        pass
for snap in json.loads(listing):
    sid = snap["id"]
    folder = os.path.join(dest, "snapshots", sid)
    if not os.path.isdir(folder):
        flat = os.path.join(dest, "snapshots", os.path.basename(sid))
        folder = flat if os.path.isdir(flat) else None
    if folder is None:
        folderless.append(snap)
        continue
    if not os.path.isfile(os.path.join(folder, "snapshot.json")):
        print(f"  torn: {sid} has no snapshot.json")
        torn += 1
        continue
    prints, total, missing = {}, 0, False
    for rel in snap["relativeFilePaths"]:
        try:
            st = os.lstat(os.path.join(folder, "data", rel))
        except OSError:
            missing = True
            break
        total += st.st_size
        prints[rel] = [st.st_ino, st.st_size, st.st_mtime_ns]
    recorded = snap["totalSizeBytes"]
    if missing or total != recorded:
        print(f"  torn: {sid} holds {'too few files' if missing else total} bytes, records {recorded}")
        torn += 1
        continue
    before = state["whole"].get(sid)
    if before is not None and before["files"] != prints:
        print(f"  lost: {sid} was written again")
        lost += 1
    whole[sid] = {"files": prints, "createdAt": snap["createdAt"]}
oldest_kept = min((w["createdAt"] for w in whole.values()), default="")
# Retention takes the oldest beyond the limit; a delete takes what it was asked for. Anything else that
# was whole and is gone, or is listed without its folder, is lost.
kept_prints = [w["files"] for w in whole.values()]
def asked_for(sid, created, prints=None):
    if sid in state["deleted"]:
        return True
    return limit > 0 and ((len(whole) >= limit and created <= oldest_kept) or prints in kept_prints)
for snap in folderless:
    if snap["id"] in being_removed:
        state["deleted"].append(snap["id"])
    elif not asked_for(snap["id"], snap["createdAt"]):
        print(f"  lost: {snap['id']} listed without its folder")
        lost += 1
for sid, was in state["whole"].items():
    if sid not in whole and not asked_for(sid, was["createdAt"], was["files"]):
        print(f"  lost: {sid} is gone")
        lost += 1
for name in os.listdir(os.path.join(src, "sessions")):
    if name.startswith("."):
        continue  # a killed restore's temporary file, removed by the next run
    path = os.path.join(src, "sessions", name)
    index = int(name[1:-3])
    if os.path.getsize(path) != 8 + 200 + index * 37:
        print(f"  torn: source file {name}"); torn += 1
if os.path.getsize(os.path.join(src, "large.json")) != 8 + (24 << 20):
    print("  torn: source file large.json"); torn += 1
if newest:
    snaps = json.loads(listing)
    if folderless:
        print(f"  broken: {len(folderless)} listed without a folder after a complete run"); broken += 1
    if limit > 0 and len(snaps) > limit:
        print(f"  broken: {len(snaps)} listed, limit {limit}"); broken += 1
    if not snaps or max(s["createdAt"] for s in snaps) != next((s["createdAt"] for s in snaps if s["id"] == newest), None):
        print(f"  broken: {newest} is not the newest listed"); broken += 1
state["whole"] = whole
json.dump(state, open(state_file, "w"))
print(f"{lost} {torn + broken} {len(whole)}")
PY
}

total_lost=0 total_torn=0 killed=0 finished=0
declare -A actions=([backup]=0 [restore]=0 [delete]=0)
limit=0
if ((fast)); then limit=3 && configure 3; fi
check none "" 0 | tail -1 >/dev/null
for ((round = 1; round <= rounds; round++)); do
    if ((!fast && round == rounds / 2 + 1)); then
        limit=6
        configure "$limit"
    fi
    for i in $((RANDOM % 200)) $((RANDOM % 200)) $((RANDOM % 200)); do write_file "$i" "$round"; done
    ((round % 4 == 0)) && write_large "$round"

    mapfile -t listed < <("$cli" list | awk '{ print $1 }')
    pick=$((RANDOM % 10)) target=""
    if ((pick < 6 || ${#listed[@]} < 3)); then
        action=backup args=(backup)
    elif ((pick < 8)); then
        action=restore target=${listed[RANDOM % ${#listed[@]}]} args=(restore "$target")
    else
        action=delete target=${listed[RANDOM % ${#listed[@]}]} args=(delete "$target")
    fi
    actions[$action]=$((actions[$action] + 1))

    if ((fast)); then # a burst that runs ahead of the clock, but less than a minute
        ahead=$("$cli" list --json | python3 -c 'import json, sys, time, calendar
s = json.load(sys.stdin)
print(max((calendar.timegm(time.strptime(x["createdAt"], "%Y-%m-%dT%H:%M:%SZ")) for x in s), default=0) - int(time.time()))')
        ((ahead > 40)) && sleep $((ahead - 40))
        for _ in 1 2 3; do "$cli" backup >/dev/null 2>&1 || true; done
    fi
    "$cli" "${args[@]}" >/dev/null 2>&1 &
    pid=$!
    if ((fast)); then sleep "0.0$(printf '%02d' $((RANDOM % 60)))"; else sleep "0.$(printf '%03d' $((RANDOM % 400)))"; fi
    if kill -9 "$pid" 2>/dev/null; then killed=$((killed + 1)); else finished=$((finished + 1)); fi
    wait "$pid" 2>/dev/null || true

    newest=""
    if ((fast)); then
        check "$action" "$target" "$limit" >/dev/null # what the kill left counts as asked for
        action=backup target=""
        before=$("$cli" list --json)
        "$cli" backup >/dev/null 2>&1 || true
        newest=$("$cli" list --json | python3 -c 'import json,sys; old={s["id"] for s in json.loads(sys.argv[1])}
print(next((s["id"] for s in json.load(sys.stdin) if s["id"] not in old), "none"))' "$before")
    fi
    out=$(check "$action" "$target" "$limit" "$newest")
    read -r lost torn count <<<"$(tail -1 <<<"$out")"
    if ((lost + torn > 0)); then
        echo "round $round ($action $target):"
        head -n -1 <<<"$out"
    fi
    total_lost=$((total_lost + lost)) total_torn=$((total_torn + torn))
    ((round % 50 == 0)) && echo "round $round: $count whole snapshots listed, lost $total_lost, torn $total_torn"
done

echo "rounds $rounds (backup ${actions[backup]}, restore ${actions[restore]}, delete ${actions[delete]}):" \
    "killed $killed, finished before the kill $finished; lost $total_lost, torn or broken $total_torn"
((total_lost + total_torn == 0))
