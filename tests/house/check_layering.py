#!/usr/bin/env python3
"""Fails when an include points the wrong way.

The layers, from the top: the program (src/app) uses everything; the
engine (src/quorbel) and the tools (tools/) use the in-house library without
its Qt side; the library's Qt side (src/common/ui) uses the library; each
concern folder of the library (src/common/<concern>) uses only the concerns
that its CMake library links (given on the command line as
concern=used,used, the same list the build uses). Nothing below the program
sees Qt or the program's own headers. Inside every folder the units (a
header and its source) must not include each other in a circle.

Usage: check_layering.py --root SOURCE_DIR concern=used,... ...
"""

import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
QT_HEADER = re.compile(r"^Q[A-Za-z]*(/|$)")
SOURCE_ENDINGS = (".h", ".cpp")


def parse_concerns(specs):
    uses = {}
    for spec in specs:
        name, _, used = spec.partition("=")
        uses[name] = [u for u in used.split(",") if u]
    # What a concern may include: itself and everything below it.
    closure = {}

    def reach(name, seen=()):
        if name in seen:
            sys.exit(f"the concern list has a circle through {name}")
        if name not in closure:
            allowed = {name}
            for used in uses.get(name, []):
                allowed |= reach(used, seen + (name,))
            closure[name] = allowed
        return closure[name]

    for name in uses:
        reach(name)
    return closure


def sources(root, folder):
    top = os.path.join(root, folder)
    for directory, _, files in os.walk(top):
        for name in sorted(files):
            if name.endswith(SOURCE_ENDINGS):
                yield os.path.relpath(os.path.join(directory, name), root)


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        text = f.read()
    return [(m.group(1), m.group(2)) for m in INCLUDE.finditer(text)]


def layer_of(path):
    """(layer, concern) of a source file of ours."""
    parts = path.split(os.sep)
    if parts[0] == "src" and parts[1] == "common":
        return ("common", parts[2]) if len(parts) > 3 else ("common", None)
    if parts[0] == "src":
        return (parts[1], None)
    return (parts[0], None)


def check_file(path, found, concerns, problems):
    layer, concern = layer_of(path)
    for kind, name in found:
        qt = kind == "<" and QT_HEADER.match(name)
        quoted = kind == '"'
        if layer == "app":
            continue
        if layer == "common" and concern == "ui":
            if quoted and not name.startswith("common/"):
                problems.append(f"{path}: the library's Qt side includes {name}")
            continue
        if qt:
            problems.append(f"{path}: Qt header {name} below the window layers")
            continue
        if not quoted:
            continue
        if name.startswith("common/ui/"):
            problems.append(f"{path}: includes the library's Qt side ({name})")
        elif layer == "common":
            if concern is None:
                problems.append(f"{path}: a loose file in src/common")
            elif not name.startswith("common/"):
                problems.append(f"{path}: the library includes {name}")
            else:
                used = name.split("/")[1]
                if used not in concerns.get(concern, {concern}):
                    problems.append(
                        f"{path}: common/{concern} may not use common/{used} ({name})")
        elif layer == "quorbel":
            if not (name.startswith("common/") or name.startswith("quorbel/")):
                problems.append(f"{path}: the engine includes {name}")


def unit_of(path):
    return os.path.splitext(path)[0]


def resolve(root, path, name, search):
    """The file of ours that a quoted include names, or None."""
    for base in [os.path.dirname(path)] + search:
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def find_circles(graph):
    circles = []
    state = {}

    def visit(node, stack):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                circles.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, stack)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [])
    return circles


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("concerns", nargs="*")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    concerns = parse_concerns(args.concerns)

    problems = []
    graph = {}
    search = ["src"]
    for folder in ("src", "tools"):
        for path in sources(root, folder):
            found = includes(root, path)
            check_file(path, found, concerns, problems)
            unit = unit_of(path)
            for kind, name in found:
                if kind != '"':
                    continue
                target = resolve(root, path, name, search)
                if target is not None and unit_of(target) != unit:
                    graph.setdefault(unit, set()).add(unit_of(target))
    for loose in os.listdir(os.path.join(root, "src", "common")):
        if loose.endswith(SOURCE_ENDINGS):
            problems.append(f"src/common/{loose}: a loose file in src/common")
    for circle in find_circles(graph):
        problems.append("units include each other in a circle: " + " -> ".join(circle))

    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) point the wrong way")
        return 1
    print("includes point one way")
    return 0


if __name__ == "__main__":
    sys.exit(main())
