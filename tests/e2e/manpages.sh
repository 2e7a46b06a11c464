#!/usr/bin/env bash
# Each program's man page against its --help, which the program makes from its own
# option table: an option (kfftool: a command) the man page lacks, or one it still
# describes that the program no longer has, fails.
set -euo pipefail
build=${1:?build directory}
man=$(cd "$(dirname "$0")/../../packaging/man" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/app/calibrator-cli" --help > "$work/calibrator-cli"
"$build/sim/bxsim" --help > "$work/bxsim"
"$build/tools/kfftool" --help > "$work/kfftool"
python3 - "$work" "$man" <<'PY'
import re, sys
work, man = sys.argv[1], sys.argv[2]

def unescape(text):
    return text.replace("\\-", "-")

def help_words(program):
    text = open(f"{work}/{program}").read()
    if program == "kfftool":
        return set(re.findall(r"^  kfftool (\S+)", text, re.M))
    return set(re.findall(r"^  (--[a-z][a-z-]*)", text, re.M))

def man_words(program):
    page = open(f"{man}/{program}.1").read()
    if program == "kfftool":
        synopsis = page.split(".SH SYNOPSIS")[1].split(".SH")[0]
        return {unescape(w) for w in re.findall(r"^\.B kfftool (\S+)", synopsis, re.M)}
    options = page.split(".SH OPTIONS")[1].split("\n.SH")[0].splitlines()
    found = set()
    for before, line in zip(options, options[1:]):
        match = re.search(r"\\-\\-[a-z][a-z\\-]*", line)
        if before == ".TP" and match:
            found.add(unescape(match.group(0)))
    return found

failures = 0
for program in ("calibrator-cli", "bxsim", "kfftool"):
    shown, described = help_words(program), man_words(program)
    if not shown:
        print(f"FAIL: {program} --help shows no options")
        failures += 1
    for word in sorted(shown - described):
        print(f"FAIL: {program}.1 lacks {word}")
        failures += 1
    for word in sorted(described - shown):
        print(f"FAIL: {program}.1 describes {word}, which {program} does not have")
        failures += 1
sys.exit(1 if failures else 0)
PY
echo "man pages: every option of every program described"
