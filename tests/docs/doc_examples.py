#!/usr/bin/env python3
"""Runs the examples of one document as they are written in it.

The fenced blocks of the markdown file are read at test time:

  ```sh                  each line a command, run by bash; must exit 0
  ```sh not-run: REASON  shown only, with the reason it cannot run here
  ```console [exit=N]    "$ " lines are commands; the lines after one are
                         output that must appear in what it printed; each
                         command exits N (default 0)
  ```prog                a robot program, run by vorel-sim --program; exit 0
  ```prog file=NAME      a robot program written to NAME for the commands
                         after it

The blocks of a document run in order in one fresh directory, as a user
would in the source tree: programs/ is a copy (plots written there stay in
the directory), config/ and scripts/ are the source's, build/ is the build
tree, and build/bin comes first on PATH, so `vorel-sim` and
`build/bin/vorel-sim` are the same executable. Each command has a guard
time; its exit status is the verdict.

With --links the document is checked instead: every relative link resolves
and, for the README, every file in docs/ is linked.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

GUARD_S = 240
FENCE = re.compile(r"^```(\S*)\s*(.*)$")


def blocks(path):
    """(line number, kind, info, lines) for each fenced block."""
    found, current = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            match = FENCE.match(line)
            if current is None and match:
                current = (number, match.group(1), match.group(2).strip(), [])
            elif current is not None and line.startswith("```"):
                found.append(current)
                current = None
            elif current is not None:
                current[3].append(line)
    return found


def workdir(source, build):
    root = tempfile.mkdtemp(prefix="vorel-doc-")
    shutil.copytree(os.path.join(source, "programs"), os.path.join(root, "programs"))
    for name in ("config", "scripts"):
        os.symlink(os.path.join(source, name), os.path.join(root, name))
    os.symlink(build, os.path.join(root, "build"))
    return root


def run(command, cwd, env):
    try:
        done = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=GUARD_S)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") + (e.stderr or b"").decode(errors="replace")
        return "no exit within %d s" % GUARD_S, out


def examples(doc, source, build):
    root = workdir(source, build)
    env = dict(os.environ, PATH=os.path.join(build, "bin") + os.pathsep + os.environ["PATH"])
    name = os.path.relpath(doc, source)
    failures, ran, not_run = [], 0, []
    try:
        for number, kind, info, lines in blocks(doc):
            where = "%s:%d" % (name, number)
            if kind == "sh" and info.startswith("not-run:"):
                reason = info[len("not-run:"):].strip()
                if not reason:
                    failures.append(where + ": a not-run block needs its reason")
                not_run.append((where, reason))
                continue
            steps = []  # (command, expected status, output lines)
            if kind == "sh":
                steps = [(l, 0, []) for l in lines if l.strip() and not l.lstrip().startswith("#")]
            elif kind == "console":
                status = int(info[len("exit="):]) if info.startswith("exit=") else 0
                for l in lines:
                    if l.startswith("$ "):
                        steps.append((l[2:], status, []))
                    elif steps and l.strip():
                        steps[-1][2].append(l)
            elif kind == "prog":
                file = info[len("file="):] if info.startswith("file=") else None
                with open(os.path.join(root, file or "example.prog"), "w") as f:
                    f.write("\n".join(lines) + "\n")
                if file is None:
                    steps = [("vorel-sim --program example.prog", 0, [])]
            for command, status, output in steps:
                ran += 1
                got, out = run(command, root, env)
                print("%s: %s -> %s" % (where, command, got), flush=True)
                if got != status:
                    failures.append("%s: `%s` ended with %s, expected %d\n%s" %
                                    (where, command, got, status, out[-3000:]))
                for want in output:
                    if want not in out:
                        failures.append("%s: `%s` did not print: %s\n%s" %
                                        (where, command, want, out[-3000:]))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for where, reason in not_run:
        print("%s: not run: %s" % (where, reason))
    print("%s: %d commands run, %d blocks not run" % (name, ran, len(not_run)))
    return failures


def links(doc, source):
    failures, here = [], os.path.dirname(doc)
    text = open(doc, encoding="utf-8").read()
    targets = set()
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
        if "://" in target or "build/" in target:  # the API reference is built
            continue
        path = os.path.normpath(os.path.join(here, target))
        targets.add(path)
        if not os.path.exists(path):
            failures.append("%s: the link %s leads nowhere" % (doc, target))
    if os.path.basename(doc) == "README.md":
        for f in sorted(os.listdir(os.path.join(source, "docs"))):
            if f.endswith(".md") and os.path.join(source, "docs", f) not in targets:
                failures.append("README.md does not link docs/" + f)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("doc")
    parser.add_argument("--source", required=True)
    parser.add_argument("--build")
    parser.add_argument("--links", action="store_true")
    args = parser.parse_args()
    doc = os.path.join(args.source, args.doc)
    failures = links(doc, args.source) if args.links else examples(doc, args.source, args.build)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
