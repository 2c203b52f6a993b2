# SPDX-License-Identifier: MIT
"""What the package's tests share: the source tree, the server program, a
server of the tone engine per test module, and the table of cases the
front-end core's tests run too."""

import glob
import os
import re
import sys
import threading
import unittest
from typing import Any, Callable, List, Optional

TESTS = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(TESTS))
# A long text: the licence of the programs.
LICENCE = os.path.join(SOURCE, "LICENSES", "GPL-3.0-or-later.txt")
sys.path.insert(0, os.path.dirname(TESTS))

import vrelay  # noqa: E402


def server_program() -> str:
    """$VRELAY_SERVER, else the newest uninstrumented build in the tree."""
    explicit = os.environ.get("VRELAY_SERVER")
    if explicit:
        return explicit
    builds = [b for b in glob.glob(os.path.join(SOURCE, "build", "*", "server", "vrelay-server"))
              if not os.path.basename(os.path.dirname(os.path.dirname(b))).endswith("san")]
    if not builds:
        raise unittest.SkipTest("no vrelay-server built; set VRELAY_SERVER")
    return max(builds, key=os.path.getmtime)


def tone_server(*arguments: str) -> vrelay.LocalServer:
    # The tone engine answers fast and the same every time.
    return vrelay.LocalServer(engine="tone", program=server_program(), arguments=arguments)


def within(seconds: float, call: Callable[[], Any]) -> Any:
    """call()'s value (or its exception), or a failure when it has not
    returned in time (a generous bound for what should take milliseconds)."""
    outcome: list = []

    def run() -> None:
        try:
            outcome.append((call(), None))
        except BaseException as error:  # noqa: BLE001 - raised on the test's thread
            outcome.append((None, error))

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    if thread.is_alive() or not outcome:
        raise AssertionError("no answer within %g s" % seconds)
    value, error = outcome[0]
    if error is not None:
        raise error
    return value


def run_async(coroutine: Any, timeout: Optional[float] = 120) -> Any:
    import asyncio
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def _unescape(field: bytes) -> bytes:
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|.)",
                  lambda m: bytes([int(m.group(1)[1:], 16)]) if len(m.group(1)) == 3 else
                  {b"t": b"\t", b"n": b"\n"}.get(m.group(1), m.group(1)), field)


def case_table(kind: str, fields: int) -> List[List[bytes]]:
    """The records of tests/data/frontend_cases.tsv whose first field is
    kind, without it, each with at least fields fields (missing ones empty):
    tab-separated, in every field \\xHH that byte, \\t, \\n and \\\\."""
    with open(os.path.join(SOURCE, "tests", "data", "frontend_cases.tsv"), "rb") as table:
        records = [[_unescape(f) for f in line.split(b"\t")]
                   for line in table.read().split(b"\n")]
    rows = [r[1:] + [b""] * (fields + 1 - len(r)) for r in records if r[0] == kind.encode()]
    if not rows:
        raise AssertionError("no %s cases in tests/data/frontend_cases.tsv" % kind)
    return rows
