# SPDX-License-Identifier: MIT
"""Text going to the server: checked, escaped when plain, and offsets into
what was sent mapped back to the caller's string."""

import bisect
import re
from typing import List, Tuple

_SPECIAL = re.compile("[&<>]")
_ENTITIES = {"&": "&amp;", "<": "&lt;", ">": "&gt;"}


def check(text: object, what: str = "text") -> str:
    """A str argument as it is. TypeError for anything but str, ValueError
    for a NUL (the library would end the text there)."""
    if not isinstance(text, str):
        raise TypeError("%s must be str, not %s" % (what, type(text).__name__))
    nul = text.find("\0")
    if nul >= 0:
        raise ValueError("%s contains a NUL character at index %d" % (what, nul))
    return text


def encode(text: object, what: str = "text") -> bytes:
    """The UTF-8 bytes of a str argument, checked as check() does."""
    return check(text, what).encode()


class SubmittedText:
    """The caller's text of one request or stream, piece by piece, and what
    was sent for it. The library reads every text as markup, so plain text
    goes with &, < and > as entities; the offsets the server reports count in
    the sent text and map back through the entities' positions."""

    def __init__(self) -> None:
        self._pieces: List[str] = []
        self._chars = 0   # characters sent so far
        self._bytes = 0   # and their UTF-8 bytes
        # Where each entity begins in the sent text (characters, bytes), and
        # how many characters the entities before it added (ASCII, so the
        # same count in bytes).
        self._char_starts: List[int] = []
        self._byte_starts: List[int] = []
        self._added: List[int] = [0]

    def add(self, piece: str, plain: bool) -> bytes:
        """Records a piece of the caller's text; returns the bytes to send."""
        data = encode(piece)
        self._pieces.append(piece)
        if not plain or _SPECIAL.search(piece) is None:
            self._chars += len(piece)
            self._bytes += len(data)
            return data
        out: List[str] = []
        last = 0
        for match in _SPECIAL.finditer(piece):
            before = piece[last:match.start()]
            entity = _ENTITIES[match.group()]
            out += (before, entity)
            self._chars += len(before)
            self._bytes += len(before.encode())
            self._char_starts.append(self._chars)
            self._byte_starts.append(self._bytes)
            self._added.append(self._added[-1] + len(entity) - 1)
            self._chars += len(entity)
            self._bytes += len(entity)
            last = match.end()
        out.append(piece[last:])
        self._chars += len(piece) - last
        self._bytes += len(piece[last:].encode())
        return "".join(out).encode()

    def pieces(self) -> Tuple[List[str], int]:
        """The pieces so far (a list that only grows) and their number."""
        return self._pieces, len(self._pieces)

    def caller_chars(self, sent: int) -> int:
        """A character offset in the sent text as an offset in the caller's."""
        return sent - self._added[bisect.bisect_left(self._char_starts, sent)]

    def caller_bytes(self, sent: int) -> int:
        """A UTF-8 byte offset in the sent text as one in the caller's."""
        return sent - self._added[bisect.bisect_left(self._byte_starts, sent)]
