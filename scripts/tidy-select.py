#!/usr/bin/env python3
"""The files of src/ and tools/ that clang-tidy must see after a change.

    tidy-select.py ROOT COMPILE-COMMANDS CHANGED-LIST

CHANGED-LIST names the changed paths, relative to ROOT, one a line. A file
of the compilation database is selected when it changed itself or when
the build's dependency file of its object names a changed file (a header it
includes, however indirectly). A file whose dependency file is missing or
unreadable is selected too. Prints the selected paths, relative to ROOT.
"""
import json
import os
import shlex
import sys


def depfile_of(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    for i, arg in enumerate(args[:-1]):
        if arg == "-o":
            return os.path.join(entry["directory"], args[i + 1] + ".d")
    return None


def prerequisites(path, directory):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read().replace("\\\n", " ")
    names = []
    for line in text.splitlines():
        _, colon, rest = line.partition(": ")
        if colon:
            names += rest.split()
    return [os.path.normpath(os.path.join(directory, n)) for n in names]


def main():
    root = os.path.realpath(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as f:
        db = json.load(f)
    with open(sys.argv[3], encoding="utf-8") as f:
        changed = {os.path.normpath(os.path.join(root, line.strip())) for line in f if line.strip()}
    selected = set()
    for entry in db:
        source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        rel = os.path.relpath(source, root)
        if not (rel.startswith("src/") or rel.startswith("tools/")):
            continue
        if source in changed:
            selected.add(rel)
            continue
        depfile = depfile_of(entry)
        try:
            deps = prerequisites(depfile, entry["directory"]) if depfile else None
        except OSError:
            deps = None
        if deps is None or any(d in changed for d in deps):
            selected.add(rel)
    for rel in sorted(selected):
        print(rel)


if __name__ == "__main__":
    main()
