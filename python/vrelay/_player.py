# SPDX-License-Identifier: MIT
"""Plays 16-bit mono audio through the sound server as it arrives, with
PulseAudio's simple client library (libpulse-simple.so.0, which PipeWire's
PulseAudio service serves as well), loaded through ctypes: no Python
package needed. A quarter of a second is kept buffered, so a write returns
at the pace of the sound."""

import ctypes
from typing import Any, Optional

_PLAYBACK = 1      # PA_STREAM_PLAYBACK
_S16LE = 3         # PA_SAMPLE_S16LE
_DEFAULT = 0xFFFFFFFF


class _SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32),
                ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32)
                for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


class PlayerError(Exception):
    """No sound server to play through, or it went away; the message says why."""


def _load() -> Any:
    try:
        lib = ctypes.CDLL("libpulse-simple.so.0")
    except OSError:
        raise PlayerError("libpulse-simple.so.0, PulseAudio's client library, is not "
                          "installed") from None
    lib.pa_simple_new.restype = ctypes.c_void_p
    lib.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                  ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_SampleSpec),
                                  ctypes.c_void_p, ctypes.POINTER(_BufferAttr),
                                  ctypes.POINTER(ctypes.c_int)]
    lib.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                    ctypes.POINTER(ctypes.c_int)]
    lib.pa_simple_drain.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
    lib.pa_simple_flush.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
    lib.pa_simple_free.argtypes = [ctypes.c_void_p]
    lib.pa_simple_free.restype = None
    lib.pa_strerror.argtypes = [ctypes.c_int]  # libpulse's, which the simple library loads
    lib.pa_strerror.restype = ctypes.c_char_p
    return lib


class Player:
    """One stream to the sound server (PULSE_SERVER, else the user's), used
    from one thread. close() drops what is not heard yet."""

    def __init__(self) -> None:
        self._lib = _load()
        self._stream: Optional[int] = None
        self.rate = 0
        self.written = 0  # samples, over every stream opened

    def _failure(self, error: ctypes.c_int) -> PlayerError:
        text = self._lib.pa_strerror(error.value)
        return PlayerError(text.decode(errors="replace") if text else "no sound server")

    def open(self, rate: int) -> None:
        """Opens a stream at rate; a stream at another rate plays out first.
        PlayerError when no sound server answers."""
        if self._stream is not None:
            if rate == self.rate:
                return
            self.drain()
            self.close()
        spec = _SampleSpec(_S16LE, rate, 1)
        buffered = _BufferAttr(_DEFAULT, rate // 2, _DEFAULT, _DEFAULT, _DEFAULT)
        error = ctypes.c_int(0)
        stream = self._lib.pa_simple_new(None, b"vrelay", _PLAYBACK, None, b"speech",
                                         ctypes.byref(spec), None, ctypes.byref(buffered),
                                         ctypes.byref(error))
        if not stream:
            raise self._failure(error)
        self._stream, self.rate = stream, rate

    def write(self, data: bytes) -> None:
        """Queues samples; blocks while the buffer is full. The samples go in
        pieces of 50 ms, so that a signal (Ctrl-C) is handled within one."""
        error = ctypes.c_int(0)
        if self._stream is None:
            raise PlayerError("no sound stream")
        piece = max(self.rate // 20, 1) * 2
        for start in range(0, len(data), piece):
            part = data[start:start + piece]
            if self._lib.pa_simple_write(self._stream, part, len(part),
                                         ctypes.byref(error)) < 0:
                raise self._failure(error)
            self.written += len(part) // 2

    def drain(self) -> None:
        """Waits until everything written has been heard."""
        error = ctypes.c_int(0)
        if self._stream is not None and self._lib.pa_simple_drain(self._stream,
                                                                  ctypes.byref(error)) < 0:
            raise self._failure(error)

    def close(self) -> None:
        """Ends the stream; what is buffered and not heard yet is dropped."""
        stream, self._stream = self._stream, None
        if stream is not None:
            self._lib.pa_simple_flush(stream, ctypes.byref(ctypes.c_int(0)))
            self._lib.pa_simple_free(stream)
