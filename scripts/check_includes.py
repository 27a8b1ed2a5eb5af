#!/usr/bin/env python3
"""Checks the layering of src/ by its includes.

Each folder sits on a floor; a file may include headers of its own floor and
the floors below, never above. net and transfer share a floor without
including each other. The front ends (ui, shell, widgets, cli) reach servers
only through the controller: no header of net may reach them, directly or
through the headers they include.
"""
import pathlib
import re
import sys

FLOORS = {"fs": 0, "engine": 1, "net": 2, "transfer": 2, "core": 3,
          "widgets": 4, "cli": 4, "ui": 5, "shell": 6}
FRONT_ENDS = {"ui", "shell", "widgets", "cli"}
SIDE_BY_SIDE = {("net", "transfer"), ("transfer", "net")}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)

src = pathlib.Path(__file__).resolve().parent.parent / "src"


def includes(rel):
    """The src headers a file includes directly."""
    text = (src / rel).read_text(errors="replace")
    return [h for h in INCLUDE.findall(text) if (src / h).is_file()]


closure_cache = {}


def reached(rel, path=()):
    """Every src header a file reaches through its includes, each with the
    chain that reaches it."""
    if rel in closure_cache:
        return closure_cache[rel]
    out = {}
    for h in includes(rel):
        if h in path:
            continue
        out.setdefault(h, [h])
        for deep, chain in reached(h, path + (rel,)).items():
            out.setdefault(deep, [h] + chain)
    closure_cache[rel] = out
    return out


problems = []
for f in sorted(p for p in src.rglob("*") if p.suffix in {".h", ".cpp", ".inl"}):
    rel = f.relative_to(src).as_posix()
    own = rel.split("/")[0]
    if own not in FLOORS:
        problems.append(f"{rel}: in a folder of no known layer")
        continue
    for h in includes(rel):
        other = h.split("/")[0]
        if other not in FLOORS:
            continue
        if FLOORS[other] > FLOORS[own] or (own, other) in SIDE_BY_SIDE:
            problems.append(f"{rel}: includes {h} ({other} is not below {own})")
    if own in FRONT_ENDS:
        for h, chain in reached(rel).items():
            if h.startswith("net/"):
                problems.append(f"{rel}: reaches {h} through " + " -> ".join(chain))

for p in problems:
    print(p, file=sys.stderr)
sys.exit(1 if problems else 0)
