#!/usr/bin/env python3
"""Runs the commands the README shows, so that a README line that stops being true
fails the build.

Convention (in README.md): every code block, fenced or indented by four spaces, is
preceded by one or more marker comments, each on a line of its own:

    <!-- readme-test: run -->            run the block
    <!-- readme-test: skip: REASON -->   do not run it; REASON is printed (hardware,
                                         sudo, the Windows build, a person at the window,
                                         output rather than commands, ...)
    <!-- readme-test: before: COMMAND --> run COMMAND first (unseen by the reader)
    <!-- readme-test: expect: TEXT -->   the block's output must contain TEXT
                                         ($NAME and ${NAME} are taken from the environment)
    <!-- readme-test: status: N -->      the block must end with exit status N (default 0)

A code block without a marker fails the test, so a new block is run or skipped by
decision, never by accident. In a block where some lines start with "$ ", only those
lines are commands (the rest is sample output); otherwise every line is. A person takes
a moment before typing the next line: after a line that starts a job in the background
(ends with "&") the test waits 2 s.

Each block runs with bash (set -e) in one temporary folder that mirrors the checkout:
build/ is the build folder given, setup.sh does nothing (the tree is already built),
"/tmp/" in a block means the folder's own tmp/, and HOME, XDG_CONFIG_HOME,
XDG_DATA_HOME and the lock folder are the folder's own. The build's programs are on
PATH. Blocks run in README order and share the folder; jobs a block leaves running are
killed when it ends.

Usage: readme_examples.py BUILD_DIR [--readme FILE]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^\s*<!--\s*readme-test:\s*(.*?)\s*-->\s*$")
BLOCK_TIMEOUT = 240


class Block:
    def __init__(self, line, lines, markers):
        self.line = line  # 1-based line of the block's first line
        self.lines = lines
        self.markers = markers

    def directives(self, name):
        prefix = name + ":"
        return [m[len(prefix):].strip() for m in self.markers if m.startswith(prefix)]

    def runs(self):
        return "run" in self.markers

    def commands(self):
        prompted = [l[2:] for l in self.lines if l.startswith("$ ")]
        return prompted if prompted else self.lines


def markers_above(text_lines, index):
    """The marker comments on the lines above text_lines[index], blank lines between."""
    found = []
    i = index - 1
    while i >= 0 and not text_lines[i].strip():
        i -= 1
    while i >= 0:
        match = MARKER.match(text_lines[i])
        if not match:
            break
        found.insert(0, match.group(1))
        i -= 1
    return found


def parse_blocks(text):
    lines = text.split("\n")
    blocks = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip().startswith("```"):
            fence_indent = len(line) - len(line.lstrip())
            start = i
            i += 1
            body = []
            while i < len(lines) and not lines[i].strip().startswith("```"):
                body.append(lines[i][fence_indent:])
                i += 1
            blocks.append(Block(start + 2, body, markers_above(lines, start)))
            i += 1
            continue
        indent = len(line) - len(line.lstrip(" "))
        previous_blank = i == 0 or not lines[i - 1].strip() or MARKER.match(lines[i - 1])
        if line.strip() and indent >= 4 and previous_blank and not MARKER.match(line):
            start = i
            body = []
            while i < len(lines) and (not lines[i].strip() or
                                      len(lines[i]) - len(lines[i].lstrip(" ")) >= indent):
                body.append(lines[i][indent:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            blocks.append(Block(start + 1, body, markers_above(lines, start)))
            continue
        i += 1
    return blocks


def make_workspace(source, build):
    work = tempfile.mkdtemp(prefix="readme-examples-")
    for entry in os.listdir(source):
        if entry in (".git", "setup.sh") or entry.startswith("build"):
            continue
        os.symlink(os.path.join(source, entry), os.path.join(work, entry))
    os.symlink(build, os.path.join(work, "build"))
    with open(os.path.join(work, "setup.sh"), "w") as stub:
        stub.write("#!/bin/sh\necho 'setup: (the README test runs in a built tree)'\n")
    os.chmod(os.path.join(work, "setup.sh"), 0o755)
    for folder in ("home", "tmp", "lock", "config"):
        os.makedirs(os.path.join(work, folder))
    env = dict(os.environ)
    for name in ("KALMEON_PORTS_DIR", "XDG_DATA_HOME", "KALMEON_SYSFS_ROOT",
                 "KALMEON_SERIAL_BY_ID_DIR"):
        env.pop(name, None)
    env.update({
        "HOME": os.path.join(work, "home"),
        "XDG_CONFIG_HOME": os.path.join(work, "config"),
        "KALMEON_LOCK_DIR": os.path.join(work, "lock"),
        "QT_QPA_PLATFORM": "offscreen",
        "PATH": os.pathsep.join(os.path.join(build, d) for d in ("app", "sim", "tools")) +
                os.pathsep + env.get("PATH", ""),
    })
    return work, env


BACKGROUND_JOB = re.compile(r"(?<!&)&\s*(#.*)?$")


def typed(commands):
    """The commands with the pause a person makes after starting a background job."""
    lines = []
    for command in commands:
        lines.append(command)
        if BACKGROUND_JOB.search(command):
            lines.append("sleep 2")
    return lines


def expand(text, env):
    """$NAME and ${NAME} in an expectation, from the blocks' environment."""
    return re.sub(r"\$\{?(\w+)\}?", lambda m: env.get(m.group(1), m.group(0)), text)


def run_block(block, work, env):
    """Returns a list of problems (empty when the block did what the README says)."""
    body = block.directives("before") + typed(block.commands())
    script = "\n".join(body).replace("/tmp/", os.path.join(work, "tmp") + "/")
    # Jobs the block leaves running end with it; a block's own `kill %1` comes first.
    script = ("trap 'left=$(jobs -p); [ -z \"$left\" ] || kill $left 2>/dev/null || true; wait' EXIT\n"
              "set -e\n" + script + "\n")
    try:
        done = subprocess.run(["bash", "-c", script], cwd=work, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT)
    except subprocess.TimeoutExpired as timeout:
        return [f"did not end within {BLOCK_TIMEOUT} s", (timeout.output or b"").decode()]
    output = done.stdout.decode(errors="replace")
    problems = []
    wanted = int((block.directives("status") or ["0"])[0])
    if done.returncode != wanted:
        problems.append(f"ended with status {done.returncode}, not {wanted}")
    for text in block.directives("expect"):
        expanded = expand(text, env)
        if expanded not in output:
            problems.append(f"output lacks: {expanded}")
    if problems:
        problems.append("--- commands\n" + "\n".join(body) + "\n--- output\n" + output)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--readme", help="another README to check (default: the checkout's)")
    args = parser.parse_args()
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
    build = os.path.abspath(args.build)
    readme = args.readme or os.path.join(source, "README.md")
    with open(readme, encoding="utf-8") as f:
        blocks = parse_blocks(f.read())

    failures = 0
    unmarked = [b for b in blocks if not b.runs() and not b.directives("skip")]
    for block in unmarked:
        print(f"README line {block.line}: code block without a readme-test marker: "
              f"{block.lines[0] if block.lines else ''}")
        failures += 1
    work, env = make_workspace(source, build)
    try:
        for block in blocks:
            skip = block.directives("skip")
            if skip and not block.runs():
                print(f"skip  line {block.line} ({skip[0]}): {block.lines[0]}")
                continue
            if not block.runs():
                continue
            problems = run_block(block, work, env)
            print(f"{'FAIL' if problems else 'ok  '}  line {block.line}: {block.commands()[0]}")
            for problem in problems:
                print("      " + problem.replace("\n", "\n      "))
            failures += bool(problems)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    ran = sum(1 for b in blocks if b.runs())
    print(f"README examples: {ran} run, {len(blocks) - ran - len(unmarked)} skipped, "
          f"{failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
