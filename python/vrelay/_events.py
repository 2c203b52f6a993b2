# SPDX-License-Identifier: MIT
"""The events a request answers with, and the Result that collects them."""

import array
import io
import operator
import os
import wave
from dataclasses import dataclass
from typing import BinaryIO, Dict, List, Optional, Sequence, Tuple, Union, overload


@dataclass(slots=True)
class AudioFormat:
    """The format of the audio that follows: at the start of a job's audio,
    and again when its sample rate changes."""
    sample_rate: int
    bits_per_sample: int
    channels: int


@dataclass(slots=True)
class Audio:
    """A piece of the audio: signed 16-bit little-endian mono PCM. ``first``
    is the job's sample number of its first sample."""
    data: bytes
    first: int = 0


@dataclass(slots=True)
class Mark:
    """A mark was reached: a word, or a <mark/> of the caller's markup. Word
    marks carry the word's place in the text (``text[char_offset:char_end]``)
    and in its UTF-8 bytes, and the word as written (in markup with its
    entities decoded and tags left out: "Café" for "Caf&eacute;")."""
    name: str
    sample_offset: int                 # from the first sample of the request's audio
    time: Optional[float]              # seconds from the start of the job, once the rate is known
    char_offset: Optional[int] = None  # word marks only
    char_length: Optional[int] = None
    byte_offset: Optional[int] = None
    byte_length: Optional[int] = None
    sample: int = 0                    # from the first sample of the job's audio
    written: Optional[str] = None      # word marks only

    @property
    def is_word(self) -> bool:
        return self.char_offset is not None

    @property
    def char_end(self) -> Optional[int]:
        if self.char_offset is None or self.char_length is None:
            return None
        return self.char_offset + self.char_length


@dataclass(slots=True)
class Phoneme:
    """A phoneme: its name, the next one's, start (in the request's audio)
    and duration in samples; ``sample`` is its start in the job's audio."""
    phone: str
    next_phone: str
    start: int
    duration: int
    sample_rate: int
    sample: int = 0


@dataclass(slots=True)
class Message:
    """A message from the server; its refusals begin with "error: "."""
    text: str

    @property
    def is_error(self) -> bool:
        """The server refused the request or part of it."""
        return self.text.startswith("error: ")


@dataclass(slots=True)
class QueryReply:
    text: str


@dataclass(slots=True)
class Done:
    """The end of an asynchronous render (always the last event of one that
    was not stopped and did not fail)."""


Event = Union[AudioFormat, Audio, Mark, Phoneme, Message, QueryReply, Done]


class Phonemes(Sequence[Phoneme]):
    """A Result's phonemes, in order: a read-only sequence of Phoneme made
    when an item is read. A long text has tens of thousands of phonemes:
    kept as numbers in one array, their names once, each takes 48 bytes
    where a Phoneme object with its numbers takes 180 or more."""

    __slots__ = ("_rows", "_names", "_by_name", "_by_raw_name")
    _FIELDS = 6  # name, next name (indexes into _names), start, duration, rate, sample

    def __init__(self) -> None:
        self._rows = array.array("q")
        self._names: List[str] = []
        self._by_name: Dict[str, int] = {}
        self._by_raw_name: Dict[Optional[bytes], int] = {}  # as the packets hold them

    def _name(self, name: str) -> int:
        index = self._by_name.get(name)
        if index is None:
            index = self._by_name[name] = len(self._names)
            self._names.append(name)
        return index

    def _raw_name(self, raw: Optional[bytes]) -> int:
        index = self._by_raw_name[raw] = self._name((raw or b"").decode(errors="replace"))
        return index

    def _add_raw(self, phone: Optional[bytes], next_phone: Optional[bytes], start: int,
                 duration: int, sample_rate: int, sample: int) -> None:
        """A phoneme whose names are UTF-8 bytes (None: empty)."""
        by_raw_name = self._by_raw_name
        name = by_raw_name.get(phone)
        if name is None:
            name = self._raw_name(phone)
        next_name = by_raw_name.get(next_phone)
        if next_name is None:
            next_name = self._raw_name(next_phone)
        self._rows.extend((name, next_name, start, duration, sample_rate, sample))

    def _append(self, phoneme: Phoneme) -> None:
        self._rows.extend((self._name(phoneme.phone), self._name(phoneme.next_phone),
                           phoneme.start, phoneme.duration, phoneme.sample_rate,
                           phoneme.sample))

    def _drop_from(self, sample: int) -> None:
        """Drops the phonemes at the end that start at the job's sample or later."""
        count = len(self)
        while count and self._rows[(count - 1) * self._FIELDS + 5] >= sample:
            count -= 1
        del self._rows[count * self._FIELDS:]

    def __len__(self) -> int:
        return len(self._rows) // self._FIELDS

    @overload
    def __getitem__(self, index: int) -> Phoneme: ...

    @overload
    def __getitem__(self, index: slice) -> List[Phoneme]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Phoneme, List[Phoneme]]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        count = len(self)
        index = operator.index(index)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError("phoneme index out of range")
        at = index * self._FIELDS
        name, next_name, start, duration, rate, sample = self._rows[at:at + self._FIELDS]
        return Phoneme(self._names[name], self._names[next_name], start, duration, rate, sample)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Phonemes, list, tuple)):
            return len(self) == len(other) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    def __repr__(self) -> str:
        return repr(list(self))


class Result:
    """Everything one request answered: the audio (a bytearray of 16-bit
    little-endian mono PCM at ``sample_rate``), the word marks in text order,
    the phonemes (a sequence of Phoneme) and the server's messages. ``text``
    is the caller's text the marks point into; for a stream, every piece
    pushed so far (and the marks' times count from the stream's start)."""

    __slots__ = ("audio", "sample_rate", "marks", "phonemes", "messages", "_text", "_pieces")

    def __init__(self, text: Union[str, Tuple[List[str], int]] = "") -> None:
        self.audio = bytearray()
        self.sample_rate = 0
        self.marks: List[Mark] = []
        self.phonemes = Phonemes()
        self.messages: List[str] = []
        # A stream's text is joined only when asked for: every push has a
        # Result, and joining for each would make a long stream quadratic.
        self._text: Optional[str] = None
        self._pieces: Optional[Tuple[List[str], int]] = None
        self.set_text(text)

    def set_text(self, text: Union[str, Tuple[List[str], int]]) -> None:
        """The text the marks point into: a str, or the first pieces of a list."""
        self._text = text if isinstance(text, str) else None
        self._pieces = None if isinstance(text, str) else text

    @property
    def text(self) -> str:
        if self._text is None:
            pieces, count = self._pieces or ([], 0)
            self._text = "".join(pieces[:count])
            self._pieces = None
        return self._text

    @property
    def duration(self) -> float:
        """Seconds of audio."""
        return len(self.audio) / 2 / self.sample_rate if self.sample_rate else 0.0

    @property
    def words(self) -> List[str]:
        """The text of each word mark."""
        text = self.text
        return [text[m.char_offset:m.char_end] for m in self.marks]

    def add(self, event: Event) -> None:
        """Takes in one event of the answer."""
        if isinstance(event, Audio):
            self.audio += event.data
        elif isinstance(event, Mark):
            if event.is_word:
                self.marks.append(event)
        elif isinstance(event, Phoneme):
            self.phonemes._append(event)
        elif isinstance(event, AudioFormat):
            self.sample_rate = event.sample_rate
        elif isinstance(event, Message):
            self.messages.append(event.text)

    def _take_back(self, sample: int) -> None:
        """Drops the audio from the job's sample on, and the phonemes that
        start there: a render resumed after its server failed says it again."""
        del self.audio[sample * 2:]
        self.phonemes._drop_from(sample)

    def save_wav(self, file: Union[str, "os.PathLike[str]", BinaryIO]) -> None:
        """Writes the audio as a 16-bit mono WAV file (a path or a binary file)."""
        with wave.open(file if not isinstance(file, os.PathLike) else os.fspath(file),
                       "wb") as out:
            out.setnchannels(1)
            out.setsampwidth(2)
            out.setframerate(self.sample_rate or 22050)
            out.writeframes(self.audio)

    def wav_bytes(self) -> bytes:
        """The audio as the bytes of a WAV file."""
        buffer = io.BytesIO()
        self.save_wav(buffer)
        return buffer.getvalue()

    def __repr__(self) -> str:
        return "<vrelay.Result %.2f s at %d Hz, %d words, %d phonemes>" % (
            self.duration, self.sample_rate, len(self.marks), len(self.phonemes))
