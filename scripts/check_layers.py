#!/usr/bin/env python3
"""Checks that the product's layers depend one way.

    check_layers.py [ROOT]          report every fault below; exit 1 if any
    check_layers.py --count [ROOT]  print the number of faults, exit 0
    check_layers.py --self-test [ROOT]
                                    the check on ROOT, then on copies of ROOT with one
                                    planted fault each, every one of which must be caught

Layers, bottom to top: support <- serial <- link <- variables <- firmware <- app.
The simulator (sim/) sits beside the product on the virtual line: it uses support and
serial only, and of the product only the console program (app/console/program) may use it.

Faults:
  - an #include of a higher layer, in quotes or angle brackets, from any C++ file
    (.h, .hpp, .cpp and the like);
  - an #include through "..", which hides the layer it reaches;
  - a library or program of a layer linked to one of a higher layer, read from the
    target graph that CMake itself writes (cmake --graphviz, in a scratch build);
  - a circle of includes between the files of one layer (a header and its source
    count as one file). The circles in KNOWN_CIRCLES are still to be broken: they are
    allowed, a new one is not, and one that is gone must leave the list.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ORDER = ["support", "serial", "link", "variables", "firmware", "app"]
CHECKED = ORDER + ["sim"]
SOURCE_SUFFIXES = {".h", ".hh", ".hpp", ".hxx", ".inl", ".cpp", ".cc", ".cxx"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SKIPPED_TOPS = {".git", "build"}
# Targets of app/ that make up the console program, which may link the simulator.
CONSOLE_TARGETS = {"calib_console", "calibrator-cli"}
KNOWN_CIRCLES = []


def allowed_folders(parts):
    """The top folders a file or target under PARTS may depend on, or None when it
    belongs to no checked layer (tests, tools, benchmarks)."""
    top = parts[0]
    if top == "sim":
        return {"support", "serial", "sim"}
    if top not in ORDER:
        return None
    allowed = set(ORDER[: ORDER.index(top) + 1])
    if top == "app" and tuple(parts[1:3]) == ("console", "program"):
        allowed.add("sim")  # "--port sim" is the console program's own choice
    return allowed


def source_files(root):
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root)
        if relative.parts[0] in SKIPPED_TOPS or relative.parts[0].startswith("build-"):
            continue
        if path.suffix in SOURCE_SUFFIXES and path.is_file():
            yield path, relative


def included_path(root, relative, quote, name):
    """The root-relative path an #include names: a quoted name is looked for beside
    the including file first, as the compiler does."""
    if quote == '"':
        beside = (root / relative.parent / name).resolve()
        if beside.is_file() and root.resolve() in beside.parents:
            return pathlib.PurePosixPath(beside.relative_to(root.resolve()).as_posix())
    return pathlib.PurePosixPath(name)


def includes(root):
    """(file, line number, line, name as written, included root-relative path) for
    every include of a file in a checked layer."""
    for path, relative in source_files(root):
        if relative.parts[0] not in CHECKED:
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if match:
                target = included_path(root, relative, match.group(1), match.group(2))
                yield relative, number, line.strip(), match.group(2), target


def include_faults(root):
    found = []
    for relative, number, line, name, target in includes(root):
        if ".." in pathlib.PurePosixPath(name).parts:
            found.append(f"{relative}:{number}: includes through '..': {line}")
        elif target.parts[0] in CHECKED and target.parts[0] not in allowed_folders(relative.parts):
            found.append(f"{relative}:{number}: includes a higher layer: {line}")
    return found


def module(path):
    """A header and its source are one file of the layer."""
    return str(pathlib.PurePosixPath(path).with_suffix(""))


def circles(root):
    """Every set of two or more files of one layer that include each other round."""
    graph = {}
    for relative, _, _, _, target in includes(root):
        if target.parts[0] == relative.parts[0] and module(target) != module(relative):
            graph.setdefault(module(relative), set()).add(module(target))
    index, low, stack, found = {}, {}, [], []

    def visit(node):  # Tarjan's strongly connected components
        index[node] = low[node] = len(index)
        stack.append(node)
        for other in sorted(graph.get(node, ())):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            component = []
            while not component or component[-1] != node:
                component.append(stack.pop())
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(found)


def circle_faults(root):
    found = circles(root)
    faults = [f"include circle: {' <-> '.join(c)}" for c in found if c not in KNOWN_CIRCLES]
    faults += [f"known circle is gone, remove it from KNOWN_CIRCLES: {' <-> '.join(c)}"
               for c in KNOWN_CIRCLES if c not in found]
    return faults


def target_layers(root):
    """Target name -> the folder parts of the CMakeLists.txt that adds it."""
    layers = {}
    adds = re.compile(r"\b(?:calib_)?add_(?:library|executable)\(\s*([\w-]+)")
    for lists in root.rglob("CMakeLists.txt"):
        relative = lists.relative_to(root)
        if relative.parts[0] not in CHECKED:
            continue
        for name in adds.findall(lists.read_text(encoding="utf-8")):
            layers[name] = relative.parts[:-1]
    return layers


def link_faults(root):
    """Upward links in the target graph of a scratch configuration of ROOT."""
    with tempfile.TemporaryDirectory() as scratch:
        dot = pathlib.Path(scratch) / "targets.dot"
        configure = subprocess.run(
            ["cmake", "-S", str(root), "-B", scratch, "-G", "Ninja", f"--graphviz={dot}",
             "-DCALIB_BUILD_TESTS=OFF", "-DCALIB_BUILD_BENCH=OFF"],
            capture_output=True, text=True, check=False)
        if configure.returncode != 0:
            return ["cmake could not configure a scratch build:\n" + configure.stderr]
        edges = re.findall(r"// (\S+) -> (\S+)$", dot.read_text(encoding="utf-8"), re.M)
    layers, found = target_layers(root), []
    for source, target in sorted(set(edges)):
        if source not in layers or target not in layers:
            continue
        allowed = allowed_folders(layers[source])
        if source in CONSOLE_TARGETS:
            allowed = allowed | {"sim"}
        if allowed is not None and layers[target][0] not in allowed:
            found.append(f"target {source} ({'/'.join(layers[source])}) links a higher "
                         f"layer: {target} ({'/'.join(layers[target])})")
    return found


def faults(root, with_links=True):
    found = include_faults(root) + circle_faults(root)
    return found + (link_faults(root) if with_links else [])


def report(root):
    found = faults(root)
    for fault in found:
        print(fault)
    return len(found)


def planted_copy(root, scratch, name):
    copy = pathlib.Path(scratch) / name
    shutil.copytree(root, copy, ignore=shutil.ignore_patterns(".git", "build", "build-*"))
    return copy


def prepend(path, line):
    path.write_text(line + "\n" + path.read_text(encoding="utf-8"), encoding="utf-8")


def append(path, text):
    path.write_text(path.read_text(encoding="utf-8") + text, encoding="utf-8")


PLANTS = [
    # (the fault expected, how it is planted in a copy, whether the target graph is read)
    ("BX2Frames.cpp:1: includes a higher layer",
     lambda c: prepend(c / "link/BX2Frames.cpp", '#include "firmware/KFFFiles.h"'), False),
    ("SerialPort.cpp:1: includes a higher layer",
     lambda c: prepend(c / "serial/SerialPort.cpp", "#include <variables/DeviceAccess.h>"), False),
    ("BX2Frames.cpp:1: includes through '..'",
     lambda c: prepend(c / "link/BX2Frames.cpp", '#include "../support/Threads.h"'), False),
    ("Planted.hpp:1: includes a higher layer",
     lambda c: (c / "support/Planted.hpp").write_text('#include "app/CalibrationCycle.h"\n'),
     False),
    ("main.cpp:1: includes a higher layer",
     lambda c: prepend(c / "app/gui/main.cpp", '#include "sim/Simulator.h"'), False),
    ("include circle: support/Measurements <-> support/Threads",
     lambda c: prepend(c / "support/Measurements.h", '#include "support/Threads.h"'), False),
    ("target calib_link (link) links a higher layer: calib_firmware",
     lambda c: append(c / "link/CMakeLists.txt",
                      "target_link_libraries(calib_link PRIVATE calib_firmware)\n"), True),
]


def self_test(root):
    """The real tree must pass, and a copy of it with any one planted fault must not."""
    if report(root):
        return 1
    with tempfile.TemporaryDirectory() as scratch:
        for expected, plant, with_links in PLANTS:
            copy = planted_copy(root, scratch, "tree")
            plant(copy)
            found = faults(copy, with_links)
            if not any(expected in fault for fault in found):
                print(f"self-test: a planted fault went unnoticed ({expected}); found: {found}")
                return 1
            shutil.rmtree(copy)
    print("layers depend one way, without circles; every planted fault is caught")
    return 0


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    root = pathlib.Path(args[0] if args else pathlib.Path(__file__).resolve().parent.parent)
    if "--count" in argv:
        print(len(faults(root)))
        return 0
    if "--self-test" in argv:
        return self_test(root)
    return 1 if report(root) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
