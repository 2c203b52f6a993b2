"""vrelay from Python: the client library through ctypes, standard library only.

    with vrelay.Connection("127.0.0.1", 5555) as connection:
        result = connection.render("Hello there")
        for mark in result.marks:
            print(mark.time, result.text[mark.char_offset:mark.char_end])

The library is found through VRELAY_LIBRARY, in the source tree's build
directories, beside an installed copy of this package, or by the dynamic
linker. Failed calls raise VrelayError subclasses named after the result code.
"""

import ctypes
import queue
import struct
import threading
import time
from concurrent.futures import Future
from dataclasses import dataclass, field
from typing import Iterator, List, Optional

from . import _library

__all__ = [
    "Connection", "Result", "Voice", "AudioFormat", "Audio", "Mark", "Phoneme", "Message",
    "QueryReply", "Done", "VrelayError", "GeneralError", "BadHandle", "SendFailed",
    "ConnectFailed", "Cancelled", "Busy", "BadKey", "NoCurrentVoice", "result_name",
]

# Packet types the callback receives.
_PHONEME, _AUDIO, _MARK, _FORMAT, _MESSAGE, _QUERY, _DONE = 3, 6, 8, 9, 10, 13, 14


class VrelayError(Exception):
    """A call returned a result code other than VR_SUCCESS."""
    code = None

    def __init__(self, code, call=""):
        self.code = code
        self.name = result_name(code)
        super().__init__("%s: %s (%d)" % (call, self.name, code) if call else self.name)


class GeneralError(VrelayError): code = -1
class BadHandle(VrelayError): code = -2
class SendFailed(VrelayError): code = -3
class ConnectFailed(VrelayError): code = -4
class Cancelled(VrelayError): code = -5
class Busy(VrelayError): code = -6
class BadKey(VrelayError): code = -7
class NoCurrentVoice(VrelayError): code = -8


_ERRORS = {cls.code: cls for cls in (GeneralError, BadHandle, SendFailed, ConnectFailed,
                                     Cancelled, Busy, BadKey, NoCurrentVoice)}
_NAMES = {0: "VR_SUCCESS", -1: "VR_ERROR", -2: "VR_BAD_HANDLE", -3: "VR_SEND_FAILED",
          -4: "VR_CONNECT_FAILED", -5: "VR_CANCELLED", -6: "VR_BUSY", -7: "VR_BAD_KEY",
          -8: "VR_NO_CURRENT_VOICE"}


def result_name(code):
    """The name of a result code, e.g. "VR_BUSY"."""
    return _NAMES.get(code, "VR_UNKNOWN_RESULT")


def _check(code, call):
    if code != 0:
        raise _ERRORS.get(code, VrelayError)(code, call)
    return code


# ---- Events: one per answer packet ------------------------------------------

@dataclass
class AudioFormat:
    sample_rate: int
    bits_per_sample: int
    channels: int


@dataclass
class Audio:
    data: bytes  # signed 16-bit little-endian mono PCM


@dataclass
class Mark:
    name: str
    sample_offset: int               # from the first sample of the request's audio
    time: Optional[float]            # seconds, when the sample rate is known
    char_offset: Optional[int] = None  # word marks: the word in the submitted str
    char_length: Optional[int] = None
    byte_offset: Optional[int] = None  # ... and in its UTF-8 bytes
    byte_length: Optional[int] = None

    @property
    def is_word(self):
        return self.char_offset is not None

    @property
    def char_end(self):
        return None if self.char_offset is None else self.char_offset + self.char_length


@dataclass
class Phoneme:
    phone: str
    next_phone: str
    start: int     # sample
    duration: int  # samples
    sample_rate: int


@dataclass
class Message:
    text: str  # errors begin with "error: "


@dataclass
class QueryReply:
    text: str


@dataclass
class Done:
    """The end of an asynchronous render (always the last event)."""


@dataclass
class Result:
    """Everything one request answered."""
    text: str = ""
    audio: bytes = b""
    sample_rate: int = 0
    marks: List[Mark] = field(default_factory=list)  # word marks, in text order
    phonemes: List[Phoneme] = field(default_factory=list)
    messages: List[str] = field(default_factory=list)

    def add(self, event):
        if isinstance(event, AudioFormat):
            self.sample_rate = event.sample_rate
        elif isinstance(event, Audio):
            self.audio += event.data
        elif isinstance(event, Mark) and event.is_word:
            self.marks.append(event)
        elif isinstance(event, Phoneme):
            self.phonemes.append(event)
        elif isinstance(event, Message):
            self.messages.append(event.text)


@dataclass
class Voice:
    name: str
    voice_id: str = ""
    sex: str = ""
    language: str = ""
    language_id: str = ""
    country: str = ""
    country_id: str = ""
    region: str = ""
    accent: str = ""
    accent_id: str = ""
    voice_uuid: str = ""
    encoding: str = ""
    language_code_iso: str = ""
    language_code_microsoft: str = ""
    country_code_iso: str = ""
    sample_rate: int = 0
    sample_bits: int = 0


# vrGetVoiceStringValue keys 3 to 16, in the order of Voice's string fields.
_VOICE_STRING_KEYS = list(enumerate(
    ["voice_id", "sex", "language", "language_id", "country", "country_id", "region",
     "accent", "accent_id", "voice_uuid", "encoding", "language_code_iso",
     "language_code_microsoft", "country_code_iso"], start=3))


def _decode_word_mark(name):
    """(char offset, byte offset, char length, byte length) of kvtk_C_B_N_L, or None."""
    parts = name.split("_")
    if len(parts) != 5 or parts[0] != "kvtk" or not all(p.isdigit() for p in parts[1:]):
        return None
    return tuple(int(p) for p in parts[1:])


class Connection:
    """One connection to a speech server; a context manager that closes it.

    The connection owns the ctypes callback for as long as its handle lives,
    so nothing the caller does can let it be collected while the library may
    still call it. Requests on one connection run one at a time.
    """

    def __init__(self, host="127.0.0.1", port=5555):
        self._lib = _library.library()
        self._handle = self._lib.vrCreateConnection()
        # _sink receives the events of the one request in flight; _idle is
        # notified when an asynchronous render's sink is released at its end.
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._sink = None
        self._sample_rate = 0
        self._async_cancelled = False
        self._callback = _library.CALLBACK(self._on_packet)
        self._lib.vrSetCallBack(self._handle, self._callback)
        code = self._lib.vrOpenConnection(self._handle, host.encode(), int(port))
        if code != 0:
            self.close()
            _check(code, "vrOpenConnection(%s, %d)" % (host, port))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def close(self):
        """Closes the connection and releases its handle (waits for an async render)."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            self._lib.vrDestroyConnection(handle)

    # ---- Rendering ----------------------------------------------------------

    def render(self, text, markup=False):
        """Renders text and returns its Result once the server has answered."""
        function = self._lib.vrRenderSpeechXML if markup else self._lib.vrRenderSpeech
        return self._collect(text, lambda: function(self._live(), text.encode()), "render")

    def push(self, text, markup=False):
        """Sends the whole words of a piece of a stream; returns what they answered."""
        function = self._lib.vrPushSpeechStreamXML if markup else self._lib.vrPushSpeechStream
        return self._collect(text, lambda: function(self._live(), text.encode()), "push")

    def flush(self, markup=False):
        """Sends the rest of the stream and ends the request; returns what it answered."""
        function = self._lib.vrFlushSpeechStreamXML if markup else self._lib.vrFlushSpeechStream
        return self._collect("", lambda: function(self._live()), "flush")

    def render_async(self, text, markup=False):
        """Starts a render on the library's worker thread. Returns a Future of its
        Result; after cancel() the Future raises Cancelled."""
        future = Future()
        result = Result(text=text)

        def sink(event):
            if isinstance(event, Done):
                if self._async_cancelled:
                    future.set_exception(Cancelled(-5, "render_async"))
                else:
                    future.set_result(result)
            else:
                result.add(event)

        self._start_async(text, markup, sink)
        return future

    def events(self, text, markup=False) -> Iterator[object]:
        """Renders asynchronously and yields each event as it arrives, ending
        with Done. Leaving the loop early cancels the render."""
        events = queue.Queue()
        self._start_async(text, markup, events.put)
        done = False
        try:
            while not done:
                event = events.get()
                done = isinstance(event, Done)
                yield event
        finally:
            if not done:
                self.cancel()
                while not isinstance(events.get(), Done):
                    pass

    def cancel(self):
        """Stops the running request and reconnects the connection."""
        self._async_cancelled = True
        _check(self._lib.vrCancelRequest(self._live()), "vrCancelRequest")

    # ---- Voices and queries ---------------------------------------------------

    def voices(self) -> List[Voice]:
        """The server's voices."""
        enumerator = self._lib.vrEnumerateConnectionVoices(self._live())
        _check(min(enumerator, 0), "vrEnumerateConnectionVoices")
        voices = []
        try:
            while True:
                name = self._lib.vrNextVoice(enumerator)
                if name is None:
                    return voices
                voice = Voice(name=name.decode())
                for key, attribute in _VOICE_STRING_KEYS:
                    setattr(voice, attribute,
                            (self._lib.vrGetVoiceStringValue(enumerator, key) or b"").decode())
                voice.sample_rate = self._lib.vrGetVoiceIntegerValue(enumerator, 1)
                voice.sample_bits = self._lib.vrGetVoiceIntegerValue(enumerator, 2)
                voices.append(voice)
        finally:
            self._lib.vrCloseEnumerator(enumerator)

    def set_voice(self, name, check=True):
        """Selects a voice by exact name; check=False skips the list lookup."""
        function = self._lib.vrSetVoice if check else self._lib.vrSetVoiceFast
        _check(function(self._live(), name.encode()), "set_voice(%r)" % name)

    def query(self, text):
        """Sends a query and returns the reply text."""
        replies = []

        def sink(event):
            if isinstance(event, QueryReply):
                replies.append(event.text)

        self._with_sink(sink, lambda: _check(
            self._lib.vrQueryServer(self._live(), text.encode()), "query"))
        return "".join(replies)

    # ---- Internals -------------------------------------------------------------

    def _live(self):
        if self._handle is None:
            raise BadHandle(-2, "the connection is closed")
        return self._handle

    def _install_sink(self, sink):
        # The library would run this request after an asynchronous one still
        # in flight; wait for that one's end so its events keep their sink.
        with self._idle:
            self._idle.wait_for(lambda: self._sink is None)
            self._sink = sink
            self._sample_rate = 0
            self._async_cancelled = False

    def _release_sink(self):
        with self._idle:
            self._sink = None
            self._idle.notify_all()

    def _with_sink(self, sink, call):
        self._install_sink(sink)
        try:
            return call()
        finally:
            self._release_sink()

    def _collect(self, text, call, what):
        result = Result(text=text)
        self._with_sink(result.add, lambda: _check(call(), what))
        return result

    def _start_async(self, text, markup, sink):
        function = self._lib.vrRenderSpeechXMLAsync if markup else self._lib.vrRenderSpeechAsync
        with self._lock:
            if self._sink is not None:
                raise Busy(-6, "render_async: a render is running")
        self._install_sink(sink)
        # The library's worker still holds the previous request while it
        # delivers PACKET_REQUEST_DONE and for a moment after; a launch in
        # that window gets VR_BUSY, so retry for a bounded time.
        deadline = time.monotonic() + 5
        code = function(self._live(), text.encode())
        while code == -6 and time.monotonic() < deadline:
            time.sleep(0.001)
            code = function(self._live(), text.encode())
        if code != 0:
            self._release_sink()
            _check(code, "render_async")

    def _on_packet(self, _user_data, packet_type, data, length):
        # Runs on the requesting thread or the worker; an exception must not
        # cross back into C, so it stops the request instead.
        try:
            event = self._decode(packet_type, data, length)
            with self._idle:
                sink = self._sink
                if isinstance(event, Done):  # free before anyone hears of the end
                    self._sink = None
                    self._idle.notify_all()
            if event is not None and sink is not None:
                sink(event)
            return 0
        except Exception:  # noqa: BLE001 - reported by stopping the request
            return -1

    def _decode(self, packet_type, data, length):
        if packet_type == _PHONEME:
            p = ctypes.cast(data, ctypes.POINTER(_library.PhonemeEvent)).contents
            return Phoneme(p.phone.decode(errors="replace"),
                           (p.next_phone or b"").decode(errors="replace"),
                           p.first, p.value1, p.value2)
        if packet_type == _DONE:
            return Done()
        payload = ctypes.string_at(data, length) if length > 0 else b""
        if packet_type == _AUDIO:
            return Audio(payload)
        if packet_type == _FORMAT and len(payload) >= 8:
            rate, bits, channels = struct.unpack(">IHH", payload[:8])
            with self._lock:
                self._sample_rate = rate
            return AudioFormat(rate, bits, channels)
        if packet_type == _MARK and len(payload) >= 5:
            (offset,) = struct.unpack(">i", payload[:4])
            name = payload[4:].split(b"\0", 1)[0].decode(errors="replace")
            with self._lock:
                rate = self._sample_rate
            mark = Mark(name, offset, offset / rate if rate else None)
            word = _decode_word_mark(name)
            if word:
                mark.char_offset, mark.byte_offset, mark.char_length, mark.byte_length = word
            return mark
        text = payload.split(b"\0", 1)[0].decode(errors="replace")
        if packet_type == _MESSAGE:
            return Message(text)
        if packet_type == _QUERY:
            return QueryReply(text)
        return None
