#!/usr/bin/env python3
"""Checks that the product's layers depend one way, by their #include lines.

    check_layers.py [ROOT]          report every include of a higher layer; exit 1 if any
    check_layers.py --count [ROOT]  print the number of such include lines, exit 0
    check_layers.py --self-test [ROOT]
                                    the check on ROOT, then on a copy of ROOT with one
                                    reversed include, which must be caught

Layers, bottom to top: support <- serial <- link <- variables <- firmware <- app.
The simulator (sim/) sits beside the product on the virtual line: it uses support and
serial only, and of the product only the console program (app/cli) may use it.
"""

import pathlib
import re
import shutil
import sys
import tempfile

ORDER = ["support", "serial", "link", "variables", "firmware", "app"]
SOURCE_SUFFIXES = {".h", ".cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"')


def allowed_folders(path):
    """The folders a source file at PATH (relative to the root) may include from,
    or None when the file belongs to no checked layer (tests, tools, benchmarks)."""
    parts = path.parts
    top = parts[0]
    if top == "sim":
        return {"support", "serial", "sim"}
    if top not in ORDER:
        return None
    allowed = set(ORDER[: ORDER.index(top) + 1])
    if top == "app" and len(parts) > 1 and parts[1] == "cli":
        allowed.add("sim")  # "--port sim" is the console program's own choice
    return allowed


def violations(root):
    """Every (file, line number, included folder) where a layer reaches upwards."""
    found = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(root)
        if relative.parts[0] in {"build", ".git"} or relative.parts[0].startswith("build-"):
            continue
        allowed = allowed_folders(relative)
        if allowed is None:
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if match and match.group(1) in ORDER + ["sim"] and match.group(1) not in allowed:
                found.append((relative, number, line.strip()))
    return found


def report(root):
    found = violations(root)
    for relative, number, line in found:
        print(f"{relative}:{number}: includes a higher layer: {line}")
    return len(found)


def self_test(root):
    """The real tree must pass, and the same tree with a reversed include must not."""
    if report(root):
        return 1
    with tempfile.TemporaryDirectory() as scratch:
        copy = pathlib.Path(scratch) / "tree"
        for folder in ORDER + ["sim"]:
            if (root / folder).is_dir():
                shutil.copytree(root / folder, copy / folder,
                                ignore=shutil.ignore_patterns("*.txt", "*.kff", "*.md"))
        victim = copy / "link" / "BX2Frames.cpp"
        victim.write_text('#include "firmware/KFFFiles.h"\n' + victim.read_text())
        caught = violations(copy)
        if [str(v[0]) for v in caught] != [str(pathlib.Path("link/BX2Frames.cpp"))]:
            print("self-test: a reversed include in link/ went unnoticed:", caught)
            return 1
        app_main = copy / "app" / "gui" / "main.cpp"
        if app_main.exists():
            app_main.write_text('#include "sim/Simulator.h"\n' + app_main.read_text())
            if len(violations(copy)) != 2:
                print("self-test: the window reaching the simulator went unnoticed")
                return 1
    print("layers depend one way; a reversed include is caught")
    return 0


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    root = pathlib.Path(args[0] if args else pathlib.Path(__file__).resolve().parent.parent)
    if "--count" in argv:
        print(len(violations(root)))
        return 0
    if "--self-test" in argv:
        return self_test(root)
    return 1 if report(root) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
