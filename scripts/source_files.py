#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Prints the project's files, relative to the top of the tree, one a line:
in a git checkout those git knows (with --others also the new ones it does
not ignore), elsewhere, as in a release archive, which has no .git, every
file that .gitignore does not match.

Usage: scripts/source_files.py [--others] [-z]   (-z: each name ends in NUL)
"""
import fnmatch
import os
import shutil
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def _ignore_rules(folder, prefix):
    """(prefix, anchored, folders only, pattern) for each line of the
    folder's .gitignore, whose paths start with prefix. An anchored pattern
    ("/build*/") matches the path from that folder, another ("*.wav") the
    last part of any path below it."""
    try:
        with open(os.path.join(folder, ".gitignore"), encoding="utf-8") as f:
            lines = f.read().split("\n")
    except FileNotFoundError:
        return []
    rules = []
    for line in lines:
        line = line.strip()
        if not line or line.startswith(("#", "!")):
            continue
        anchored = line.startswith("/") or "/" in line.rstrip("/")
        rules.append((prefix, anchored, line.endswith("/"), line.strip("/")))
    return rules


def _ignored(path, is_folder, rules):
    name = os.path.basename(path)
    if name == ".git":
        return True
    for prefix, anchored, folders_only, pattern in rules:
        if (folders_only and not is_folder) or not path.startswith(prefix):
            continue
        if fnmatch.fnmatchcase(path[len(prefix):] if anchored else name, pattern):
            return True
    return False


def _walk():
    rules_below = {"": []}  # the rules of each folder walked, its own and its parents'
    found = []
    for folder, subfolders, files in os.walk(ROOT):
        relative = os.path.relpath(folder, ROOT)
        prefix = "" if relative == "." else relative + "/"
        rules = rules_below.pop(prefix) + _ignore_rules(folder, prefix)
        subfolders[:] = sorted(d for d in subfolders if not _ignored(prefix + d, True, rules))
        # A link to a folder is one entry, as git keeps it (python/vrelay/data
        # links into frontend/): listed, not walked.
        links = [d for d in subfolders if os.path.islink(os.path.join(folder, d))]
        found.extend(prefix + d for d in links)
        subfolders[:] = [d for d in subfolders if d not in links]
        for subfolder in subfolders:
            rules_below[prefix + subfolder + "/"] = rules
        found.extend(prefix + f for f in files if not _ignored(prefix + f, False, rules))
    return found


def source_files(others=False):
    """The project's files (see the module's description), sorted as git
    sorts them."""
    if os.path.exists(os.path.join(ROOT, ".git")) and shutil.which("git"):
        command = ["git", "ls-files", "-z"]
        if others:
            command += ["--cached", "--others", "--exclude-standard"]
        listed = subprocess.run(command, cwd=ROOT, check=True, capture_output=True).stdout
        return sorted(filter(None, os.fsdecode(listed).split("\0")))
    return sorted(_walk())


def main():
    arguments = sys.argv[1:]
    if any(a not in ("--others", "-z") for a in arguments):
        print(__doc__.strip().split("\n\n")[-1], file=sys.stderr)
        return 2
    end = "\0" if "-z" in arguments else "\n"
    sys.stdout.write("".join(path + end for path in source_files("--others" in arguments)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
