#!/usr/bin/env bash
# I/O error injection: runs `backup` (and now and then `restore` and `delete`) of velkaro-backup-cli
# under libfiu, which fails 5 % of the POSIX I/O calls at random (fiu-run -x -c 'enable_random
# name=posix/io/*,probability=0.05'), over a source folder that changes every round. After each run,
# without injection, it checks:
#   - the source is unchanged by a backup, and after a restore that reports success holds the
#     snapshot's files;
#   - every listed snapshot has its folder and every recorded file, equal to the source at the time the
#     snapshot was made; history.json parses;
#   - a run that exits 0 says nothing failed and its snapshot holds every source file (nothing silently
#     left out), or says how many it could not copy; a run that fails exits non-zero and says so.
# Prints a summary: rounds, failed runs (the injected failures that reached the user), invariant breaks.
#
# Usage: bench/io_error_loop.sh [rounds]   (default 200)
# Env:   FIU_PROBABILITY=0.05                how often a call fails
# Env:   VELKARO_CLI=path                   (default build/ci/src/cli/velkaro-backup-cli)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-200}
cli=${VELKARO_CLI:-$PWD/build/ci/src/cli/velkaro-backup-cli}
[ -x "$cli" ] || cmake --build build/ci -j2 --target velkaro-backup-cli >/dev/null
command -v fiu-run >/dev/null || scripts/deps.sh bench >/dev/null

work=$(mktemp -d "${BENCH_TMP:-/tmp}/velkaro-fiu-XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 - "$cli" "$work" "$rounds" "${FIU_PROBABILITY:-0.05}" <<'PY'
import hashlib, json, os, random, subprocess, sys

cli, work, rounds, probability = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
home = os.path.join(work, "home")
src, dest = os.path.join(home, ".gemini"), os.path.join(work, "store")
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), TZ="UTC")
os.makedirs(os.path.join(env["XDG_CONFIG_HOME"], "VelkaroAntigraviti_Backup"))
json.dump({"sourceDirectories": [src], "destinationDirectory": dest, "targetExtensions": ["md", "json"],
           "backupInterval": "1時間ごと", "autoLaunchState": "無効", "startupWindowMode": "メイン画面を表示する",
           "notificationMode": "すべて通知 (成功・失敗)", "maxSnapshotsLimit": 8, "shouldIncludeSubdirectories": True},
          open(os.path.join(env["XDG_CONFIG_HOME"], "VelkaroAntigraviti_Backup", "config.json"), "w"))
names = [f"d{i % 4}/f{i}.md" for i in range(30)] + ["GEMINI.md", "settings.json"]
random.seed(7)

def write(name, version):
    path = os.path.join(src, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(f"{name} v{version}\n" + "x" * random.randint(10, 20000))

def digest(path):
    return hashlib.sha1(open(path, "rb").read()).hexdigest()

def source_state():
    return {n: digest(os.path.join(src, n)) for n in names}

def run(args, inject=True):
    cmd = (["fiu-run", "-x", "-c", f"enable_random name=posix/io/*,probability={probability}"] if inject else []) + [cli] + args
    p = subprocess.run(cmd, env=env, capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr

def listing():
    code, out = run(["list", "--json"], inject=False)
    return json.loads(out) if code == 0 else None

for n in names:
    write(n, 0)
made_from = {}  # snapshot id -> the source state it must equal
failed = breaks = counted = 0
actions = {"backup": 0, "restore": 0, "delete": 0}

def broke(text):
    global breaks
    breaks += 1
    print("  " + text)

for rnd in range(1, rounds + 1):
    for n in random.sample(names, 3):
        write(n, rnd)
    before = source_state()
    listed = listing() or []
    pick = random.random()
    action = "backup" if pick < 0.75 or len(listed) < 2 else ("restore" if pick < 0.9 else "delete")
    target = random.choice(listed) if action != "backup" else None
    actions[action] += 1
    code, out = run([action] + ([target["id"]] if target else []))
    if code != 0:
        failed += 1
        if not out.strip() or not any(w in out for w in ("失敗", "エラー", "できません", "ませんでした")):
            broke(f"round {rnd} {action}: exit {code} without saying why: {out!r}")
    after = listing()
    if after is None:
        broke(f"round {rnd}: list fails after {action}: history.json does not parse")
        continue
    # A new snapshot was made from the source as it stood before the command. An id that is no longer
    # listed may come back on a later snapshot (one second after the newest listed), made then.
    for gone in set(made_from) - {s["id"] for s in after}:
        del made_from[gone]
    for s in after:
        made_from.setdefault(s["id"], before if s["id"] not in {x["id"] for x in listed} else None)
    for s in after:
        folder = os.path.join(dest, "snapshots", s["id"])
        if not os.path.isdir(folder):
            broke(f"round {rnd}: {s['id']} listed without its folder")
            continue
        expected = made_from.get(s["id"])
        for rel in s["relativeFilePaths"]:
            path = os.path.join(folder, "data", rel)
            if not os.path.isfile(path):
                broke(f"round {rnd}: {s['id']} lacks {rel}")
            elif expected and digest(path) != expected.get(rel):
                broke(f"round {rnd}: {s['id']}/{rel} differs from the source at the time")
    new = [s for s in after if s["id"] not in {x["id"] for x in listed}]
    if action == "backup":
        if source_state() != before:
            broke(f"round {rnd}: a backup changed the source")
        if code == 0 and "できませんでした" not in out:
            counted += 1
            if len(new) != 1 or new[0]["filesCount"] != len(names):
                broke(f"round {rnd}: exit 0 but the new snapshot holds "
                      f"{new[0]['filesCount'] if new else 'nothing'} of {len(names)} files: {out.strip()!r}")
    if action == "restore" and code == 0 and "できませんでした" not in out:
        data = os.path.join(dest, "snapshots", target["id"], "data")
        for rel in target["relativeFilePaths"]:
            if os.path.isdir(data) and digest(os.path.join(src, rel)) != digest(os.path.join(data, rel)):
                broke(f"round {rnd}: restored {rel} differs from {target['id']}")
print(f"rounds {rounds} (backup {actions['backup']}, restore {actions['restore']}, delete {actions['delete']}): "
      f"{failed} runs failed under injection and said so, {counted} backups completed whole; "
      f"invariant breaks {breaks}")
sys.exit(1 if breaks else 0)
PY
