# SPDX-License-Identifier: MIT
"""A render that goes on after its server failed: what to submit from where
the speech stopped, and how long to keep trying before giving up."""

import time
from typing import List, Optional, Tuple

from ._decoder import AnswerDecoder
from ._text import build_request

# Tries after a failure: a try reopens the connection (the same address
# first, then the others) and submits the rest. Trying ends after this many
# tries in a row that brought no new word, or this long after the failure.
TRIES = 3
SECONDS = 10.0
# A pause before trying an address again that failed in this round.
_AGAIN_AFTER = 0.5

# The library's results that say the connection failed or the server closed it.
_SERVER_FAILED = (-1, -3)


class ResumeWarning(UserWarning):
    """A render's server failed and the render went on, from the start of the
    last word whose mark and audio had begun to come: ``reason`` says what failed, ``word`` is
    that word as written (None: from the start of the text), ``address``
    ("HOST:PORT") where the speech goes on."""

    def __init__(self, reason: str, word: Optional[str], address: str) -> None:
        self.reason = reason
        self.word = word
        self.address = address
        where = '"%s"' % word if word is not None else "the start"
        super().__init__("the speech server failed (%s); speaking on from %s at %s"
                         % (reason, where, address))


class Resumption:
    """One render's text and answer decoder, the requests that speak it (the
    first, then after each failure the rest), and the bounds on trying.
    Used by one thread at a time."""

    def __init__(self, text: str, markup: bool, prosody: str, enabled: bool,
                 rewind: bool) -> None:
        self.text = text
        self.decoder = AnswerDecoder()
        self.enabled = enabled
        # Whether the caller keeps the audio and can drop what came after
        # the word spoken on from (a buffer, a file), or plays it.
        self.rewind = rewind
        self._markup = markup
        self._prosody = prosody
        self._started = False
        self._words = -1        # the decoder's words at the last failure
        self._failures = 0      # tries in a row without a new word
        self._deadline = 0.0
        self._order: List[int] = []  # the addresses to try, in order
        self._tries = 0

    def next_request(self) -> Tuple[bytes, int]:
        """What to submit next: the whole text, then the rest from the start
        of the last word whose audio began to come (its decoder drops the
        marks that came already). Also the job's sample its audio starts at: the caller that
        rewinds drops the audio it holds from there."""
        if not self._started:
            self._started = True
            submitted, data = build_request(self.text, self._markup, self._prosody)
            self.decoder.begin_request(submitted, self._markup)
            return data, 0
        word = self.decoder.spoken_word
        start = (word.char_offset or 0) if word is not None else 0
        submitted, data = build_request(self.text, self._markup, self._prosody, start)
        return data, self.decoder.resume(submitted, self._markup, self.rewind)

    def server_failed(self, code: Optional[int], current: int, addresses: int) -> bool:
        """Whether the request that ended failed by its server (code: the
        library's result, None for an asynchronous render: its answer is cut
        short) and is to be resumed, with the address in use and how many
        there are; not a refusal, and not when resuming is off."""
        decoder = self.decoder
        if not self.enabled or decoder.errors:
            return False
        failed = code in _SERVER_FAILED if code is not None else not decoder.complete
        if not failed:
            return False
        if decoder.words != self._words:  # it spoke on: a new round of tries
            self._words = decoder.words
            self._failures = self._tries = 0
            self._deadline = time.monotonic() + SECONDS
            self._order = [current] + [i for i in range(addresses) if i != current]
        else:
            self._failures += 1
        return True

    def next_address(self) -> Optional[int]:
        """The address to try next, or None when the bounds are reached.
        Waits a moment before an address that failed in this round."""
        left = self._deadline - time.monotonic()
        if self._failures >= TRIES or left <= 0:
            return None
        if self._tries >= len(self._order):
            time.sleep(min(_AGAIN_AFTER, left))
        index = self._order[self._tries % len(self._order)]
        self._tries += 1
        return index

    def try_failed(self) -> None:
        """The address did not take the connection."""
        self._failures += 1

    def notice(self, reason: str, address: str) -> ResumeWarning:
        word = self.decoder.spoken_word
        return ResumeWarning(reason, word.written if word is not None else None, address)
