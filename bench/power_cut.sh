#!/usr/bin/env bash
# A power cut right after a command returns: the store and the source live on a loop-mounted ext4
# image, and the image file is copied the moment `backup`, `restore` or `templates apply` returns. The
# copy holds only what had reached the (virtual) disk; it is mounted (replaying the journal, as a boot
# would) and checked:
#   backup:  every listed snapshot holds all its files, whole (the source's bytes);
#   restore: every restored file holds the snapshot's bytes or the old ones, never empty or partial;
#   apply:   GEMINI.md holds the template or the old text, and the safety snapshot's copy is whole.
# Needs root (mount, losetup). Prints one line per command and round.
#
# Usage: bench/power_cut.sh [rounds]        (default 3)
# Env:   VELKARO_CLI=path                   (default build/ci/src/cli/velkaro-backup-cli)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-3}
cli=${VELKARO_CLI:-$PWD/build/ci/src/cli/velkaro-backup-cli}
[ -x "$cli" ] || cmake --build build/ci -j2 --target velkaro-backup-cli >/dev/null

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-cut-XXXXXX")
img="$work/disk.img" mnt="$work/mnt" cut="$work/cut"
cleanup() {
    umount "$cut" 2>/dev/null || true
    umount "$mnt" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt" "$cut"
truncate -s 512M "$img"
mkfs.ext4 -q -F "$img"
mount -o loop "$img" "$mnt"

export TZ=UTC HOME="$mnt/home" XDG_CONFIG_HOME="$mnt/home/.config"
src="$HOME/.gemini"
mkdir -p "$src/notes" "$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup"
cat >"$XDG_CONFIG_HOME/VelkaroAntigraviti_Backup/config.json" <<EOF
{
  "sourceDirectories": ["$src"],
  "destinationDirectory": "$mnt/store",
  "targetExtensions": ["md", "json"],
  "backupInterval": "1時間ごと",
  "autoLaunchState": "無効",
  "startupWindowMode": "メイン画面を表示する",
  "notificationMode": "すべて通知 (成功・失敗)",
  "maxSnapshotsLimit": 0,
  "shouldIncludeSubdirectories": true
}
EOF

# Files whose content says which version they are and how long they must be.
write_sources() { # write_sources <version>
    for i in $(seq 1 40); do
        { printf 'v%s f%s\n' "$1" "$i"; head -c $((3000 + i * 500)) /dev/zero | tr '\0' "$(((${#1} + i) % 10))"; } \
            >"$src/notes/f$i.md"
    done
    printf '# GEMINI v%s\n%s\n' "$1" "$(head -c 4000 /dev/zero | tr '\0' g)" >"$src/GEMINI.md"
}

# Copies the image now (the cut) and mounts the copy at $cut.
power_cut() {
    cp --sparse=always "$img" "$work/cut.img"
    mount -o loop "$work/cut.img" "$cut"
}
release_cut() { umount "$cut" && rm -f "$work/cut.img"; }

# Checks the snapshots listed in the cut's history: each recorded file present with its source size.
check_store() { # check_store <label>
    python3 - "$cut/store" "$1" <<'PY'
import json, os, sys
store, label = sys.argv[1:3]
try:
    history = json.load(open(os.path.join(store, "history.json")))
except (OSError, ValueError) as e:
    print(f"{label}: history.json unreadable after the cut ({e.__class__.__name__})"); sys.exit(0)
bad = []
for snap in history:
    folder = os.path.join(store, "snapshots", snap["id"])
    sizes = 0
    for rel in snap["relativeFilePaths"]:
        path = os.path.join(folder, "data", rel)
        size = os.path.getsize(path) if os.path.exists(path) else -1
        if size <= 0:
            bad.append(f"{snap['id']}/{rel} {'missing' if size < 0 else 'empty'}")
        sizes += max(size, 0)
    if sizes != snap["totalSizeBytes"] and not bad:
        bad.append(f"{snap['id']} holds {sizes} of {snap['totalSizeBytes']} bytes")
print(f"{label}: {len(history)} listed, {'all whole' if not bad else str(len(bad)) + ' torn: ' + ', '.join(bad[:3])}")
PY
}

# Source files after the cut: whole (either version), empty, or missing (the restore had made them).
check_source() { # check_source <label>
    local empty=0 missing=0 f
    for f in $(seq -f "$cut/home/.gemini/notes/f%g.md" 1 40) "$cut/home/.gemini/GEMINI.md"; do
        if [ ! -e "$f" ]; then missing=$((missing + 1)); elif [ ! -s "$f" ]; then empty=$((empty + 1)); fi
    done
    echo "$1: $((41 - empty - missing)) of 41 source files whole, $empty empty, $missing missing"
}

write_sources 0
"$cli" backup >/dev/null
sync
for ((round = 1; round <= rounds; round++)); do
    write_sources "$round"
    sync
    "$cli" backup >/dev/null
    power_cut
    check_store "round $round backup"
    release_cut

    id=$("$cli" list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[-1]["id"])')
    write_sources "$round$round"
    rm -f "$src/notes"/f[1-5].md # the restore makes these anew
    sync
    "$cli" restore "$id" >/dev/null
    power_cut
    check_source "round $round restore"
    check_store "round $round restore's safety snapshot"
    release_cut

    tid=$("$cli" templates list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["id"])')
    printf '# mine %s\n' "$round" >"$src/GEMINI.md"
    sync
    "$cli" templates apply "$tid" >/dev/null
    power_cut
    gemini=$(wc -c <"$cut/home/.gemini/GEMINI.md")
    echo "round $round apply: GEMINI.md $gemini bytes after the cut"
    check_store "round $round apply's safety snapshot"
    release_cut
done
