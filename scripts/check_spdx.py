#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks that every source file of the project (see source_files.py) names
its licence in an SPDX line within its first three lines, and the right one:
GPL-3.0-or-later under the folders whose programs link espeak-ng (server/,
frontend/, tools/, speechd/, web/), MIT everywhere else. With --add, writes the
line into the files that lack it.

Usage: scripts/check_spdx.py [--add]
Exit status 0 when every file is right, 1 otherwise (each fault printed).
"""
import os
import re
import sys

from source_files import source_files

GPL_DIRS = ("server/", "frontend/", "tools/", "speechd/", "web/")
# Data, licence texts, documents and the Debian packaging (debian/copyright
# covers it) carry no line of their own.
SKIPPED = re.compile(r"^(LICENSES/|debian/|fuzz/corpus/|tests/data/|\.)|/\.|\.(md|json|png|typed)$")
COMMENTS = {
    ".c": "// {}", ".cpp": "// {}", ".h": "// {}", ".js": "// {}",
    ".css": "/* {} */", ".map": "/* {} */", ".html": "<!-- {} -->",
    ".def": "; {}", ".scd": "; {}",
}
HASH_SUFFIXES = (".py", ".sh", ".cmake", ".txt", ".in", ".toml", ".service", ".cfg", ".conf",
                 ".supp")
LINE = re.compile(r"SPDX-License-Identifier: (\S+)")


def licence_for(path):
    return "GPL-3.0-or-later" if path.startswith(GPL_DIRS) else "MIT"


def comment_for(path):
    suffix = os.path.splitext(path)[1]
    if suffix in COMMENTS:
        return COMMENTS[suffix]
    if suffix in HASH_SUFFIXES:
        return "# {}"
    return None


def insert_at(lines, path):
    """Where the line goes: after a #! line, an HTML doctype or a man page's
    first line (scdoc wants its title first)."""
    if lines and (lines[0].startswith(("#!", "<!doctype", "<!DOCTYPE")) or path.endswith(".scd")):
        return 1
    return 0


def main():
    add = sys.argv[1:] == ["--add"]
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    os.chdir(root)
    faults = 0
    for path in source_files():
        comment = comment_for(path)
        if SKIPPED.search(path) or comment is None or not os.path.isfile(path):
            continue
        want = licence_for(path)
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        found = [m.group(1) for m in map(LINE.search, lines[:3]) if m]
        if found == [want]:
            continue
        if found or not add:
            print(f"{path}: {'SPDX ' + found[0] if found else 'no SPDX line'}, want {want}")
            faults += 1
            continue
        lines.insert(insert_at(lines, path), comment.format(f"SPDX-License-Identifier: {want}"))
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
