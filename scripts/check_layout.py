#!/usr/bin/env python3
"""Checks the tree's floor rule from its #include lines: each folder of the
product includes only folders on floors below its own, and no units (a
header and its source, taken as one) include each other in a circle, also
inside a folder. Prints what it counted; exits 1 on an include that runs back
up or a circle among the folders above the ground floor (circles of units
inside sdk/, plugin/ and vdb/, where a class's members are defined in several
files, are listed as notes).

    scripts/check_layout.py [ROOT]
"""
import os
import re
import sys

# Floors from the ground up; the plug-in's subsystem folders in their own order.
FLOORS = [
    ["sdk"],
    ["plugin/base"], ["plugin/scene"], ["plugin/field"], ["plugin/cubes"], ["plugin/grid"],
    ["plugin/tracker"], ["plugin/post"], ["plugin/output"], ["plugin/front"],
    ["vdb"],
    ["meshio"],
    ["scenefile", "preview"],
    ["rig"],
    ["runner"],
    ["farm", "python"],
    ["cli"],
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    for floor in FLOORS:
        for folder in floor:
            if path == folder or path.startswith(folder + "/"):
                return folder
    return None


def floor_of(folder):
    return next(i for i, floor in enumerate(FLOORS) if folder in floor)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    files = []
    for top in {f.split("/")[0] for floor in FLOORS for f in floor}:
        for base, _, names in os.walk(os.path.join(root, top)):
            files += [os.path.relpath(os.path.join(base, n), root) for n in names if n.endswith((".h", ".cpp"))]
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)

    def resolve(source, name):
        here = os.path.normpath(os.path.join(os.path.dirname(source), name))
        if here in by_name.get(os.path.basename(name), []):
            return here
        for prefix in ("plugin", "sdk"):  # "base/x.h", "host/host_scene.h"
            candidate = os.path.normpath(os.path.join(prefix, name))
            if candidate in by_name.get(os.path.basename(name), []):
                return candidate
        matches = [f for f in by_name.get(os.path.basename(name), []) if f.endswith(name)]
        return matches[0] if len(matches) == 1 else None

    def unit(f):
        return os.path.splitext(f)[0]

    edges = {unit(f): set() for f in files}
    upward = []
    count = 0
    for f in files:
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as text:
            for name in INCLUDE.findall(text.read()):
                target = resolve(f, name)
                if target is None:
                    continue  # a library's own header (OpenVDB, pybind11, ...)
                count += 1
                if unit(target) != unit(f):
                    edges[unit(f)].add(unit(target))
                a, b = folder_of(f), folder_of(target)
                if a != b and floor_of(b) >= floor_of(a):
                    upward.append(f"{f} -> {target}")
    # circles: a depth-first search over the include graph
    circles = []
    state = {}

    def visit(f, path):
        state[f] = 1
        for g in sorted(edges[f]):
            if state.get(g) == 1:
                circles.append(" -> ".join(path[path.index(g):] + [g]))
            elif g not in state:
                visit(g, path + [g])
        state[f] = 2

    for f in sorted(edges):
        if f not in state:
            visit(f, [f])
    ground = ("sdk/", "plugin/", "vdb/")
    notes = [c for c in circles if all(u.startswith(ground) for u in c.split(" -> "))]
    circles = [c for c in circles if c not in notes]
    print(f"check_layout: {len(files)} files, {count} includes between them, "
          f"{len(upward)} running back up, {len(circles)} circles above the ground floor")
    for line in upward + circles:
        print("  " + line)
    for line in notes:
        print("  note: a circle of units on the ground floor: " + line)
    return 1 if upward or circles else 0


if __name__ == "__main__":
    sys.exit(main())
