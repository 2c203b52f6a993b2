# SPDX-License-Identifier: MIT
"""The command line's WAV output, written as the audio arrives, as
vrelay-say writes it: a regular file under a temporary name beside it that
takes its own name only when finished (until then a file of that name stays
as it was, and a write that is discarded leaves nothing behind), its
lengths filled in at the end; standard output or a pipe gets a header that
states an unknown length (0xFFFFFFFF), as players of streamed WAV expect."""

import os
import stat
import struct
import sys
import tempfile
from typing import BinaryIO, Optional

_UNKNOWN = 0xFFFFFFFF


def header(rate: int, data_bytes: Optional[int]) -> bytes:
    """The 44-byte header of 16-bit mono PCM; data_bytes None: unknown length."""
    if data_bytes is None or data_bytes + 64 >= _UNKNOWN:
        riff = size = _UNKNOWN
    else:
        size = data_bytes
        riff = 36 + size + (size & 1)
    return struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", riff, b"WAVE", b"fmt ", 16, 1, 1, rate,
                       rate * 2, 2, 16, b"data", size)


class WavOutput:
    """Opens the output ("-" for standard output); OSError when it cannot."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.rate = 22050  # set before the first write
        self.data_bytes = 0
        self._temporary: Optional[str] = None
        self._started = False
        if path == "-":
            self._file: BinaryIO = sys.stdout.buffer
        else:
            try:
                existing: Optional[os.stat_result] = os.stat(path)
            except FileNotFoundError:
                existing = None
            if existing is not None and stat.S_ISDIR(existing.st_mode):
                raise IsADirectoryError(21, os.strerror(21), path)
            if existing is not None and not stat.S_ISREG(existing.st_mode):
                # A device or pipe (/dev/null, a FIFO) is written in place.
                self._file = open(path, "wb")
            else:
                folder, base = os.path.split(path)
                descriptor, self._temporary = tempfile.mkstemp(prefix="." + base + ".",
                                                               dir=folder or ".")
                if existing is not None:
                    mode = stat.S_IMODE(existing.st_mode)
                else:
                    mask = os.umask(0o22)
                    os.umask(mask)
                    mode = 0o666 & ~mask
                os.fchmod(descriptor, mode)
                self._file = os.fdopen(descriptor, "wb")
        try:
            self._seekable = self._file.seekable() and self._file.tell() == 0
        except OSError:
            self._seekable = False
        # Only a file of our own may be cut short: a device is not a file.
        self.can_take_back = self._seekable and self._temporary is not None

    def write(self, data: bytes) -> None:
        if not self._started:
            self._file.write(header(self.rate, 0 if self._seekable else None))
            self._started = True
        self._file.write(data)
        self.data_bytes += len(data)

    def take_back(self, data_bytes: int) -> None:
        """Drops the audio after its first data_bytes (can_take_back only)."""
        if self._started and data_bytes < self.data_bytes:
            self._file.seek(len(header(self.rate, 0)) + data_bytes)
            self._file.truncate()
            self.data_bytes = data_bytes

    @property
    def seconds(self) -> float:
        return self.data_bytes / 2 / self.rate

    def finish(self) -> None:
        """Writes the header if nothing was written, completes the lengths of
        a seekable file, closes it and gives it its name."""
        if not self._started:
            self.write(b"")
        if self._seekable:
            if self.data_bytes & 1:
                self._file.write(b"\0")
            self._file.seek(0)
            self._file.write(header(self.rate, self.data_bytes))
        self._file.flush()
        if self._file is not sys.stdout.buffer:
            self._file.close()
        if self._temporary is not None:
            os.replace(self._temporary, self.path)
            self._temporary = None

    def discard(self) -> None:
        """Closes and removes what was written: a file of the name is left as
        it was."""
        if self._file is not sys.stdout.buffer:
            try:
                self._file.close()
            except OSError:
                pass
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except OSError:
                pass
            self._temporary = None
