#!/usr/bin/env python3
"""Reads the window of the host program through the AT-SPI bus, as a screen reader does, on each of
the four pages and in the versions view of one file. Fails on any focusable control on screen without a name, and on any combo or spin box
whose name is not its label (the label it is labelled by, less the trailing colon).

Usage: walk.py HOST_PROGRAM"""
import subprocess
import sys
import time

import pyatspi

PAGES = ["ダッシュボード", "バックアップ履歴", "プロンプト管理", "環境設定"]
LABELLED = {pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_SPIN_BUTTON}


def read_line(proc, want):
    while True:
        line = proc.stdout.readline()
        if not line:
            sys.exit(f"the host ended before '{want}'")
        if line.strip() == want:
            return


def find_app(pid):
    for _ in range(100):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass
        time.sleep(0.1)
    sys.exit("the host never appeared on the accessibility bus")


def label_of(node):
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            for i in range(relation.getNTargets()):
                return relation.getTarget(i).name
    return None


def walk(node, path, problems, seen):
    states = node.getState()
    if not states.contains(pyatspi.STATE_SHOWING):
        return
    role = node.getRole()
    name = node.name or ""
    where = f"{path} > {node.getRoleName()} '{name}'"
    if states.contains(pyatspi.STATE_FOCUSABLE):
        seen.append(where)
        if not name.strip():
            problems.append(f"no name: {where}")
    if role in LABELLED:
        label = label_of(node)
        if label is None:
            problems.append(f"no label: {where}")
        elif name != label.strip().rstrip(":：").strip():
            problems.append(f"named '{name}', labelled '{label}': {where}")
    if role == pyatspi.ROLE_UNKNOWN:
        problems.append(f"role unknown: {where}")
    for child in node:
        if child is not None:
            walk(child, f"{path} > {node.getRoleName()}", problems, seen)


def main():
    host = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        read_line(host, "ready")
        app = find_app(host.pid)
        failures = []
        for index, page in enumerate(PAGES):
            host.stdin.write(f"page {index}\n")
            host.stdin.flush()
            read_line(host, f"shown {index}")
            problems, seen = [], []
            for window in app:
                walk(window, page, problems, seen)
            print(f"{page}: {len(seen)} focusable controls read, {len(problems)} problems")
            if len(seen) < 5:
                problems.append(f"only {len(seen)} focusable controls found: the tree was not read")
            failures += problems
        # The versions of one file on the history page: its own controls, read the same way.
        host.stdin.write("versions\n")
        host.stdin.flush()
        read_line(host, "shown versions")
        problems, seen = [], []
        for window in app:
            walk(window, "ファイルの履歴", problems, seen)
        print(f"ファイルの履歴: {len(seen)} focusable controls read, {len(problems)} problems")
        for name in ["このファイルの版", "いまと比べる", "前の版と比べる", "この版を復元", "← ファイル一覧"]:
            if not any(f"'{name}'" in where for where in seen):
                problems.append(f"the versions view's '{name}' was not read")
        failures += problems
        host.stdin.write("quit\n")
        host.stdin.flush()
        host.wait(timeout=20)
    finally:
        if host.poll() is None:
            host.kill()
    for problem in failures:
        print("FAIL " + problem)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
