#!/usr/bin/env python3
"""Prints which subsystem includes which, and fails on an include that does
not point down.

Layers, top to bottom: app; output, source, filter (side by side, none
includes another); config; track, platform (side by side on the ground floor).
A file may include its own subsystem and any lower layer.

  tools/include_graph.py [--root DIR] [--known FROM->TO ...]

--known names an edge that is reported but tolerated (a fix in flight).
Exit status 1 when any other edge points up or sideways.
"""
import argparse
import collections
import pathlib
import re
import sys

LAYER = {"app": 3, "output": 2, "source": 2, "filter": 2, "config": 1, "track": 0, "platform": 0}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)


def edges(root):
    found = collections.defaultdict(list)
    for path in sorted((root / "src").glob("*/*")):
        here = path.parent.name
        if here not in LAYER or not path.is_file():
            continue
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            if target in LAYER and target != here:
                found[(here, target)].append(path.relative_to(root).as_posix())
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parent.parent, type=pathlib.Path)
    parser.add_argument("--known", action="append", default=[])
    args = parser.parse_args()
    known = {tuple(k.split("->", 1)) for k in args.known}

    found = edges(args.root)
    bad = 0
    order = sorted(LAYER, key=lambda s: (-LAYER[s], s))
    for here in order:
        targets = [t for t in order if (here, t) in found]
        print(f"{here} -> {', '.join(targets) if targets else '(nothing)'}")
    for (here, target), files in sorted(found.items()):
        if LAYER[target] < LAYER[here]:
            continue
        tolerated = (here, target) in known
        bad += not tolerated
        kind = "upward" if LAYER[target] > LAYER[here] else "sideways"
        print(f"{'known ' if tolerated else ''}{kind}: {here} -> {target} in {', '.join(sorted(set(files)))}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
