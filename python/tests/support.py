# SPDX-License-Identifier: MIT
"""What the package's tests share: the source tree, the server program, and
a server of the tone engine per test module."""

import glob
import os
import sys
import threading
import unittest
from typing import Any, Callable, Optional

TESTS = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(TESTS))
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
    """call()'s value, or a failure when it has not returned in time (a
    generous bound for what should take milliseconds)."""
    outcome: list = []
    thread = threading.Thread(target=lambda: outcome.append(call()), daemon=True)
    thread.start()
    thread.join(seconds)
    if thread.is_alive() or not outcome:
        raise AssertionError("no answer within %g s" % seconds)
    return outcome[0]


def run_async(coroutine: Any, timeout: Optional[float] = 120) -> Any:
    import asyncio
    return asyncio.run(asyncio.wait_for(coroutine, timeout))
