# SPDX-License-Identifier: MIT
"""The server's answer, packet by packet as the library's callback hands it
over, decoded into typed events with their times, by the rules of the
front-end core's answer decoder: the audio format (when the rate changes),
audio, words (with where they are in the caller's text), phonemes, the marks
of the caller's markup, and the server's messages. One clock runs across
the requests of a job (a render, or a stream from its first push): every
``sample`` is an offset from the start of the job's audio."""

import ctypes
import re
import struct
from typing import Any, Dict, List, Optional

from . import _library
from ._events import Audio, AudioFormat, Event, Mark, Message, Phoneme, Phonemes, QueryReply
from ._text import SubmittedText, as_written, mapped_word

# Packet types the callback receives.
PHONEME, AUDIO, MARK, FORMAT, MESSAGE, QUERY, DONE = 3, 6, 8, 9, 10, 13, 14
_ERROR_PREFIX = "error: "
_FINAL_MARK = "kvox_final"  # ends every request's answer
_PHONEME_SIZE = ctypes.sizeof(_library.PhonemeEvent)
# ctypes array types by length: making one costs more than copying a packet,
# and most audio packets are of the one full size (at most 64 kept).
_BYTES: Dict[int, Any] = {}


_WORD_MARK = re.compile(r"kvtk_(\d+)_(\d+)_(\d+)_(\d+)", re.ASCII)


def _word_mark(name: str) -> Optional[List[int]]:
    """[char offset, byte offset, char length, byte length] of kvtk_C_B_N_L."""
    found = _WORD_MARK.fullmatch(name)
    return [int(p) for p in found.groups()] if found is not None else None


class AnswerDecoder:
    """Decodes one job's answers. Used by the thread of the request in
    flight only."""

    def __init__(self) -> None:
        self.sample_rate = 0   # of the job's audio, 0 before a format came
        self.samples = 0       # of the job's audio so far
        self.words = 0
        self._base = 0         # samples before the current request
        self._text: Optional[SubmittedText] = None
        self._markup = False
        self.answered = False  # any answer came: what answers is a speech server
        self.complete = False  # the request's last mark came: its answer is whole
        self.errors: List[str] = []  # the server's refusals, "error: " taken off
        self.last_word: Optional[Mark] = None  # the last word mark that came
        # The last word whose audio began to come (a mark may come before
        # its audio): where a resumed request starts; the marks after it.
        self.spoken_word: Optional[Mark] = None
        self._after_spoken: List[Mark] = []
        # While a resumed request says again what came already: word marks
        # up to this character offset, and these other marks, in order.
        self._repeated_until: Optional[int] = None
        self._repeated_marks: List[str] = []
        # Marks that came before their audio: each is given out just before
        # the audio that holds its first sample (or at the request's end),
        # so that one whose audio never came (its server failed) comes
        # again from the resumed request, on that request's clock.
        self._pending: List[Mark] = []

    def begin_request(self, text: Optional[SubmittedText], markup: bool = False) -> None:
        """A new request: its audio follows that of the ones before; its word
        marks map through text (None for a query or a voice selection)."""
        self._base = self.samples
        self._text = text
        self._markup = markup
        self.answered = self.complete = False
        self.errors = []
        self._repeated_until = None
        self._repeated_marks = []

    def resume(self, text: SubmittedText, markup: bool, rewind: bool) -> int:
        """A request that says the rest of the job's text from the start of
        spoken_word (text: what it sends, built from there; from the start
        when None). The marks it says again are dropped: each mark comes
        once. rewind: its audio replaces what came after that word's mark
        (the job's clock goes back there; the caller drops that audio), else
        it follows what came. Returns the job's sample the request's audio
        starts at."""
        if rewind:
            self.samples = self.spoken_word.sample if self.spoken_word is not None else 0
        self.begin_request(text, markup)
        if self.last_word is not None:
            self._repeated_until = self.last_word.char_offset
        self._repeated_marks = [m.name for m in self._after_spoken if not m.is_word]
        self._after_spoken = []
        self._pending = []  # the request brings them again
        return self.samples

    def due(self, before: Optional[int] = None) -> List[Mark]:
        """Takes the waiting marks that begin before the job's sample
        ``before`` (all of them when None), in order, as given out."""
        count = 0
        for mark in self._pending:
            if before is not None and mark.sample >= before:
                break
            count += 1
        if count == 0:
            return []
        given, self._pending = self._pending[:count], self._pending[count:]
        for mark in given:
            if mark.is_word:
                self.words += 1
                self.last_word = mark
            self._heard(mark)
        return given

    def _heard(self, mark: Optional[Mark] = None) -> None:
        """After audio or a mark came: the last word whose audio began."""
        if mark is not None:
            self._after_spoken.append(mark)
        last = -1
        for index, later in enumerate(self._after_spoken):
            if later.sample > self.samples:
                break
            if later.is_word:
                last = index
        if last >= 0:
            self.spoken_word = self._after_spoken[last]
            del self._after_spoken[:last + 1]

    def refusal(self) -> Optional[str]:
        """The server's refusals of the current request, or None."""
        return "; ".join(self.errors) if self.errors else None

    def add_audio(self, buffer: bytearray, data: Any, length: int) -> List[Mark]:
        """An audio packet straight into buffer, with no event for it; the
        marks due before it."""
        self.answered = True
        if length <= 0:
            return []
        kind = _BYTES.get(length)
        if kind is None:
            if len(_BYTES) >= 64:
                _BYTES.clear()
            kind = _BYTES[length] = ctypes.c_char * length
        buffer += kind.from_address(data)
        self.samples += length // 2
        given = self.due(self.samples)
        self._heard()
        return given

    def decode(self, packet_type: int, data: Any, length: int) -> List[Event]:
        """The events of one packet as the callback got it, in order: an
        audio packet brings the marks due before it."""
        if packet_type != DONE:
            self.answered = True
        if packet_type == AUDIO:
            audio = Audio(ctypes.string_at(data, length) if length > 0 else b"", self.samples)
            self.samples += len(audio.data) // 2
            given: List[Event] = list(self.due(self.samples))
            self._heard()
            return given + [audio]
        if packet_type == MARK:
            payload = ctypes.string_at(data, length) if data and length > 0 else b""
            return list(self._mark(payload))
        event = self._decode_other(packet_type, data, length)
        return [event] if event is not None else []

    def _decode_other(self, packet_type: int, data: Any, length: int) -> Optional[Event]:
        if packet_type == PHONEME:
            if not data or length < _PHONEME_SIZE:
                return None
            p = _library.PhonemeEvent.from_address(data)
            return Phoneme((p.phone or b"").decode(errors="replace"),
                           (p.next_phone or b"").decode(errors="replace"),
                           p.first, p.value1, p.value2, self._base + p.first)
        payload = ctypes.string_at(data, length) if data and length > 0 else b""
        if packet_type == FORMAT:
            if len(payload) < 8:
                return None
            rate, bits, channels = struct.unpack_from(">IHH", payload)
            if rate == 0 or rate == self.sample_rate:
                return None
            self.sample_rate = rate
            return AudioFormat(rate, bits, channels)
        text = payload.split(b"\0", 1)[0].decode(errors="replace")
        if packet_type == MESSAGE:
            if text.startswith(_ERROR_PREFIX):
                self.errors.append(text[len(_ERROR_PREFIX):])
            return Message(text)
        if packet_type == QUERY:
            return QueryReply(text)
        return None

    def add_phoneme(self, phonemes: Phonemes, data: Any, length: int) -> None:
        """A phoneme packet straight into phonemes, with no event for it."""
        self.answered = True
        if data and length >= _PHONEME_SIZE:
            p = _library.PhonemeEvent.from_address(data)
            first = p.first
            phonemes._add_raw(p.phone, p.next_phone, first, p.value1, p.value2,
                              self._base + first)

    def _mark(self, payload: bytes) -> List[Mark]:
        """The marks given out as this mark packet comes (see due())."""
        end = payload.find(b"\0", 4)  # the name after the 4-byte offset
        if end < 0:
            return []
        (offset,) = struct.unpack_from(">i", payload)
        name = payload[4:end].decode(errors="replace")
        if name == _FINAL_MARK:
            self.complete = True
            return self.due()  # the audio is whole: the rest are due
        sample = self._base + max(offset, 0)
        time = sample / self.sample_rate if self.sample_rate else None
        word = _word_mark(name)
        if word is None:
            if self._repeated_marks and self._repeated_marks[0] == name:
                del self._repeated_marks[0]
                return []
            self._pending.append(Mark(name, offset, time, sample=sample))
            return self.due(self.samples)
        text = self._text
        if text is None:
            return []
        chars, size_at, count, size = mapped_word(text, word)
        if self._repeated_until is not None:
            if chars <= self._repeated_until:
                return []
            self._repeated_until = None
            self._repeated_marks = []
        self._pending.append(Mark(name, offset, time, chars, count, size_at, size, sample,
                                  as_written(text.caller_text(chars, count), self._markup)))
        return self.due(self.samples)
