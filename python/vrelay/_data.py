# SPDX-License-Identifier: MIT
"""The front-end core's data files, read as the C++ doors compile them in:
exit_codes.tsv (one exit code per meaning, in every door) and
prosody_ranges.tsv (what the server's prosody reaches, and its named
values). ``data/`` beside this file is the source tree's frontend/data (a
link there), or a copy of it in an installed package; a copy of the source
tree that dropped the link reads frontend/data itself."""

import os
from typing import Dict, Iterable, List, NamedTuple

_HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(_HERE, "data")
if not os.path.isdir(DATA) and os.path.isdir(os.path.join(_HERE, "..", "..", "frontend", "data")):
    DATA = os.path.join(_HERE, "..", "..", "frontend", "data")


class ExitCode(NamedTuple):
    code: int
    name: str       # "no_server"
    meaning: str    # "no speech server", as a help text says it


class Range(NamedTuple):
    quantity: str   # "rate", "pitch" or "volume"
    unit: str       # as written: "%", "wpm", "st", "dB"
    minimum: float
    default: float
    maximum: float


class Named(NamedTuple):
    quantity: str
    name: str       # "x-slow"
    value: float
    unit: str


def _rows(name: str) -> List[List[str]]:
    """The tab-separated rows of a data file; comments and blank lines left out."""
    path = os.path.join(DATA, name)
    try:
        with open(path, encoding="utf-8") as table:
            lines = table.read().splitlines()
    except OSError as error:
        raise ImportError(
            "vrelay: cannot read its data file %s (%s): the package's data folder must hold "
            "the project's frontend/data (copy the package with cp -rL, or reinstall it)"
            % (path, error.strerror or error)) from None
    return [line.split("\t") for line in lines if line.strip() and not line.startswith("#")]


EXIT_CODES: List[ExitCode] = [ExitCode(int(row[0]), row[1], row[2])
                              for row in _rows("exit_codes.tsv")]
_EXIT_BY_NAME: Dict[str, int] = {entry.name: entry.code for entry in EXIT_CODES}
_prosody = _rows("prosody_ranges.tsv")
RANGES: List[Range] = [Range(r[1], r[2], float(r[3]), float(r[4]), float(r[5]))
                       for r in _prosody if r[0] == "range"]
NAMES: List[Named] = [Named(r[1], r[2], float(r[3]), r[4]) for r in _prosody if r[0] == "name"]


def exit_code(name: str) -> int:
    """The code of the table's name ("no_server": 3); KeyError for a name the
    table lacks, so that a door and the table cannot drift apart unseen."""
    return _EXIT_BY_NAME[name]


def exit_code_help(codes: Iterable[int], width: int = 78) -> str:
    """"Exit codes: 0 done, 1 ..., 7 no sound server to play through." for the
    codes given, in lines of at most width columns."""
    meanings = {entry.code: entry.meaning for entry in EXIT_CODES}
    items = list(codes)
    lines: List[str] = []
    line = "Exit codes:"
    for number, code in enumerate(items, 1):
        item = "%d %s%s" % (code, meanings.get(code, ""), "," if number < len(items) else ".")
        if len(line) + 1 + len(item) > width:
            lines.append(line)
            line = item
        else:
            line += " " + item
    return "\n".join(lines + [line]) + "\n"
