#!/usr/bin/env python3
"""Checks that every source file includes only folders of layers below its own.

    scripts/check-layers.py [ROOT]

The order of the layers is written here and nowhere else. A file may include its own
top-level folder and any folder of a lower layer; folders that share a layer are siblings
and do not include each other. The emulator stands apart: a program of its own that speaks
the wire format and nothing else of ours. Tests, benchmarks and fuzz targets may reach into
any layer. Exit status 1 names every include that breaks the order.
"""
import os
import re
import sys

# Bottom up.
LAYERS = [
    ("images and wire format", ["firmware", "protocol"]),
    ("ports", ["ports"]),
    ("core", ["core"]),
    ("platform adapters", ["platform"]),
    ("front ends", ["ui", "cli"]),
    ("programs", ["app", "web"]),
]
# Folders outside the order, with the layers they may include (by index, inclusive).
APART = {"emulator": 0}
ANYWHERE = {"tests", "bench", "fuzz"}

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(folder):
    for index, (_, folders) in enumerate(LAYERS):
        if folder in folders:
            return index
    return None


def may_include(own, other):
    """Whether a file in top-level folder `own` may include one from folder `other`."""
    if own == other or own in ANYWHERE:
        return True
    other_layer = layer_of(other)
    if other_layer is None:
        return False
    if own in APART:
        return other_layer <= APART[own]
    own_layer = layer_of(own)
    return own_layer is not None and other_layer < own_layer


def violations(files, top_folders):
    """files: (path relative to the root, text) pairs; top_folders: the root's folders.

    Yields (path, line number, included path) for every include that breaks the order."""
    for path, text in files:
        own = path.split("/", 1)[0]
        for match in INCLUDE.finditer(text):
            included = match.group(1)
            other = included.split("/", 1)[0]
            if "/" not in included or other not in top_folders:
                continue  # a neighbour in the same folder, or not one of ours
            if not may_include(own, other):
                line = text.count("\n", 0, match.start()) + 1
                yield path, line, included


def source_files(root):
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if not d.startswith(".") and d != "build"]
        for name in sorted(filenames):
            if name.endswith(SOURCE_SUFFIXES):
                full = os.path.join(dirpath, name)
                with open(full, encoding="utf-8", errors="replace") as f:
                    yield os.path.relpath(full, root).replace(os.sep, "/"), f.read()


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    top_folders = {d for d in os.listdir(root) if os.path.isdir(os.path.join(root, d))}
    known = {f for _, folders in LAYERS for f in folders} | set(APART) | ANYWHERE
    unplaced = sorted(f for f in top_folders - known
                      if not f.startswith(".") and f not in ("build", "docs", "scripts",
                                                              "cmake", "packaging"))
    found = list(violations(source_files(root), top_folders))
    for path, line, included in found:
        print(f"{path}:{line}: includes \"{included}\", which is not below its layer")
    for folder in unplaced:
        print(f"{folder}/: a top-level folder with no place among the layers")
    if found or unplaced:
        print("The layers, bottom up: " +
              " < ".join("/".join(folders) for _, folders in LAYERS) +
              "; apart: " + ", ".join(APART))
        return 1
    print(f"layers: every include goes downwards ({len(LAYERS)} layers)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
