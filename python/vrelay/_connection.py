# SPDX-License-Identifier: MIT
"""A connection to a speech server: blocking calls, futures, event iterators
and their asyncio forms, all over the library's packet callback."""

import asyncio
import concurrent.futures
import ctypes
import queue
import struct
import threading
import time
from typing import (Any, AsyncIterator, Awaitable, Callable, Iterator, List, Optional,
                    TypeVar)

from . import _library
from ._errors import Busy, Cancelled, VrelayError, error_for
from ._events import (Audio, AudioFormat, Done, Event, Mark, Message, Phoneme, QueryReply,
                      Result)
from ._text import SubmittedText, check as check_text, encode
from ._voices import Voice

# Packet types the callback receives.
_PHONEME, _AUDIO, _MARK, _FORMAT, _MESSAGE, _QUERY, _DONE = 3, 6, 8, 9, 10, 13, 14
_SERVER_ERROR = "error: "

# vrGetVoiceStringValue keys 3 to 17 and the Voice fields they fill.
_VOICE_STRING_KEYS = list(enumerate(
    ["voice_id", "sex", "language", "language_id", "country", "country_id", "region",
     "accent", "accent_id", "voice_uuid", "encoding", "language_code_iso",
     "language_code_microsoft", "country_code_iso", "languages"], start=3))

_T = TypeVar("_T")


class _Request:
    """One request on the connection: where its events go, and how it ended.

    ``on_done`` (asynchronous renders only) is called exactly once: from the
    completion callback on the library's worker thread when the request ended
    by itself, or by whoever stopped it once the stop has returned.
    """
    __slots__ = ("sink", "audio", "text", "on_done", "asynchronous", "stopping", "finished",
                 "errors")

    def __init__(self, sink: Callable[[Event], None], text: Optional[SubmittedText] = None,
                 on_done: "Optional[Callable[[_Request], None]]" = None,
                 audio: Optional[bytearray] = None) -> None:
        self.sink = sink
        # Where audio goes straight from the packet, without an Audio event:
        # the one copy a Result's audio takes.
        self.audio = audio
        self.text = text          # maps word offsets back to the caller's text
        self.on_done = on_done
        self.asynchronous = on_done is not None  # holds the slot until its completion
        self.stopping = False     # a cancel began before the request's end
        self.finished = False     # its completion event arrived
        self.errors: List[str] = []  # the server's refusals, without "error: "

    def server_message(self) -> Optional[str]:
        return "; ".join(self.errors) if self.errors else None


def _word_mark(name: str) -> Optional[List[int]]:
    """[char offset, byte offset, char length, byte length] of kvtk_C_B_N_L."""
    parts = name.split("_")
    if len(parts) != 5 or parts[0] != "kvtk" or not all(p.isdigit() for p in parts[1:]):
        return None
    return [int(p) for p in parts[1:]]


class RenderFuture(concurrent.futures.Future):  # type: ignore[type-arg]
    """The Result of render_async. ``cancel()`` stops the request on the
    server and returns True, unless it had already ended; ``cancelled()`` is
    True exactly when the request was stopped, also by Connection.cancel().
    ``result()`` of a stopped request raises vrelay.Cancelled (a
    concurrent.futures.CancelledError)."""

    def __init__(self, connection: "Connection") -> None:
        super().__init__()
        self._connection = connection
        self._request: Optional[_Request] = None

    def cancel(self) -> bool:
        request = self._request
        if self.done() or request is None:
            return self.cancelled()
        self._connection._stop(request)
        return self.cancelled()

    def result(self, timeout: Optional[float] = None) -> Result:
        try:
            return super().result(timeout)  # type: ignore[no-any-return]
        except concurrent.futures.CancelledError as error:
            if isinstance(error, Cancelled):
                raise
            raise Cancelled(-5, "render_async") from None

    def _finish(self, request: _Request, result: Result) -> None:
        if request.stopping:
            concurrent.futures.Future.cancel(self)
            return
        message = request.server_message()

        def settle() -> None:
            if message is not None:
                self.set_exception(error_for(0, "render_async", message, result))
            else:
                self.set_result(result)
        # The completion event comes with the connection's lock held: the
        # future's callbacks run on a thread of their own, where they may use
        # the connection.
        threading.Thread(target=settle, name="vrelay-future", daemon=True).start()


class Connection:
    """One connection to a speech server; a context manager that closes it.

    Requests on one connection run one at a time; a request waits for the
    one before it. Any thread may use the connection. The connection owns
    the ctypes callback for as long as its handle lives.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 5555) -> None:
        host_bytes = encode(host, "host")
        if not isinstance(port, int) or isinstance(port, bool):
            raise TypeError("port must be int, not %s" % type(port).__name__)
        self._address = "%s:%d" % (host, port)
        self._lib = _library.library()
        # _request is the one request in flight; _cancels counts stops in
        # progress, during which no request starts (a stop must not hit the
        # next request). _stream is the open stream's text, touched only by
        # the thread whose request is in flight.
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._request: Optional[_Request] = None
        self._cancels = 0
        self._stream: Optional[SubmittedText] = None
        self._sample_rate = 0
        self._callback = _library.CALLBACK(self._on_packet)
        self._handle: Optional[int] = self._lib.vrCreateConnection()
        if self._handle is None or self._handle < 0:
            code, self._handle = self._handle or -1, None
            raise error_for(code, "vrCreateConnection")
        self._lib.vrSetCallBack(self._handle, self._callback)
        code = self._lib.vrOpenConnection(self._handle, host_bytes, port)
        if code != 0:
            self.close()
            raise error_for(code, "connect to %s" % self._address)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if getattr(self, "_handle", None) is None else "open"
        return "<vrelay.Connection %s %s>" % (getattr(self, "_address", "?"), state)

    def close(self) -> None:
        """Stops a running request and closes the connection. Idempotent."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is None:
            return
        with self._idle:
            request = self._request
            if request is not None:
                request.stopping = True
        self._lib.vrDestroyConnection(handle)
        self._after_stop(request)

    # ---- Rendering -----------------------------------------------------------

    def render(self, text: str, markup: bool = False) -> Result:
        """Renders text and returns its Result once the server has answered.
        Plain text is spoken as written (``<`` and ``&`` included); with
        markup=True the text is markup. An open stream ends with this text."""
        check_text(text)
        return self._speak("render", text, markup, final=True)

    def push(self, text: str, markup: bool = False) -> Result:
        """Sends the complete words of a piece of a stream and returns what
        they answered. The Result's text is every piece pushed so far."""
        check_text(text)
        return self._speak("push", text, markup, final=False)

    def flush(self, markup: bool = False) -> Result:
        """Sends the rest of the stream and ends it; returns what that
        answered, with the whole stream as its text."""
        return self._speak("flush", "", markup, final=True)

    def render_async(self, text: str, markup: bool = False) -> RenderFuture:
        """Starts a render on the library's worker thread and returns a
        future of its Result; the future's cancel() stops the request."""
        check_text(text)
        future = RenderFuture(self)
        result = Result(text)
        request = _Request(result.add, SubmittedText(),
                           lambda r: future._finish(r, result), result.audio)
        future._request = request
        self._launch(request, text, markup)
        return future

    def events(self, text: str, markup: bool = False) -> Iterator[Event]:
        """Renders asynchronously and yields each event as it arrives, ending
        with Done. Leaving the loop early (or closing the iterator) stops the
        request; a stop from elsewhere raises Cancelled."""
        check_text(text)
        return self._events(text, markup)

    def _events(self, text: str, markup: bool) -> Iterator[Event]:
        events: "queue.Queue[Optional[Event]]" = queue.Queue()
        request = _Request(events.put, SubmittedText(), lambda r: events.put(None))
        self._launch(request, text, markup)
        ended = False
        try:
            while (event := events.get()) is not None:
                yield event
            ended = True
        finally:
            if not ended:
                self._stop(request)
        self._raise_for_end(request, "events")
        yield Done()

    def arender(self, text: str, markup: bool = False) -> Awaitable[Result]:
        """Renders without blocking the event loop. Cancelling the awaiting
        task stops the request on the server."""
        check_text(text)
        return self._arender(text, markup)

    async def _arender(self, text: str, markup: bool) -> Result:
        loop = asyncio.get_running_loop()
        done: "asyncio.Future[None]" = loop.create_future()
        result = Result(text)

        def on_done(request: _Request) -> None:
            _settle_threadsafe(loop, done, None)

        request = _Request(result.add, SubmittedText(), on_done, result.audio)
        await self._alaunch(loop, request, text, markup)
        try:
            await done
        except asyncio.CancelledError:
            await _shielded_in_thread(loop, self._stop, request)
            raise
        self._raise_for_end(request, "arender", result)
        return result

    def astream(self, text: str, markup: bool = False) -> AsyncIterator[Event]:
        """Renders without blocking the event loop and yields each event as it
        arrives, ending with Done. Cancelling the task or closing the iterator
        (``contextlib.aclosing``) stops the request."""
        check_text(text)
        return self._astream(text, markup)

    async def _astream(self, text: str, markup: bool) -> AsyncIterator[Event]:
        loop = asyncio.get_running_loop()
        events: "asyncio.Queue[Optional[Event]]" = asyncio.Queue()

        def sink(event: Event) -> None:
            loop.call_soon_threadsafe(events.put_nowait, event)

        def on_done(request: _Request) -> None:
            try:
                loop.call_soon_threadsafe(events.put_nowait, None)
            except RuntimeError:
                pass  # the loop has closed: nobody is listening

        request = _Request(sink, SubmittedText(), on_done)
        await self._alaunch(loop, request, text, markup)
        ended = False
        try:
            while (event := await events.get()) is not None:
                yield event
            ended = True
        finally:
            if not ended:
                await _shielded_in_thread(loop, self._stop, request)
        self._raise_for_end(request, "astream")
        yield Done()

    def cancel(self) -> None:
        """Stops the running request, if any, and reconnects the connection
        (an open stream is dropped). The stopped request raises Cancelled."""
        self._stop(None)

    # ---- Voices and queries ----------------------------------------------------

    def voices(self) -> List[Voice]:
        """The server's voices."""
        enumerator = self._lib.vrEnumerateConnectionVoices(self._live())
        if enumerator < 0:
            raise error_for(enumerator, "voices")
        voices: List[Voice] = []
        try:
            while True:
                name = self._lib.vrNextVoice(enumerator)
                if name is None:
                    return voices
                voice = Voice(name=name.decode(errors="replace"))
                for key, attribute in _VOICE_STRING_KEYS:
                    value = self._lib.vrGetVoiceStringValue(enumerator, key) or b""
                    setattr(voice, attribute, value.decode(errors="replace"))
                voice.sample_rate = self._lib.vrGetVoiceIntegerValue(enumerator, 1)
                voice.sample_bits = self._lib.vrGetVoiceIntegerValue(enumerator, 2)
                voices.append(voice)
        finally:
            self._lib.vrCloseEnumerator(enumerator)

    def set_voice(self, wanted: str) -> None:
        """Selects a voice as vrelay-say --voice does: the server chooses it
        from a voice name or a language ("French (France)", "french", "fr",
        "fr-BE"), in any case, with a variant if wanted ("en+f3", "+whisper",
        "fr+female"). A name the server does not know raises ServerError
        ("unknown voice ...") and keeps the voice."""
        data = encode(wanted, "voice")
        request = _Request(lambda event: None)
        code = self._call(request, lambda: self._lib.vrSetVoiceFast(self._live(), data))
        if code != 0 or request.errors:
            raise error_for(code, "set_voice(%r)" % wanted, request.server_message())

    def query(self, text: str) -> str:
        """Sends a query and returns the reply text."""
        data = encode(text, "query")
        replies: List[str] = []

        def sink(event: Event) -> None:
            if isinstance(event, QueryReply):
                replies.append(event.text)

        request = _Request(sink)
        code = self._call(request, lambda: self._lib.vrQueryServer(self._live(), data))
        if code != 0 or request.errors:
            raise error_for(code, "query", request.server_message())
        return "".join(replies)

    # ---- Requests ----------------------------------------------------------------

    def _live(self) -> int:
        handle = self._handle
        if handle is None:
            raise error_for(-2, "the connection is closed")
        return handle

    def _begin(self, request: _Request) -> None:
        # Waits for the request before (an asynchronous one holds the slot
        # until its completion event) and for stops in progress.
        with self._idle:
            self._idle.wait_for(lambda: self._request is None and self._cancels == 0)
            self._request = request
            self._sample_rate = 0

    def _end(self, request: _Request) -> None:
        with self._idle:
            if self._request is request:
                self._request = None
                self._idle.notify_all()

    def _call(self, request: _Request, call: Callable[[], Any]) -> int:
        """Runs a blocking library call as the connection's request."""
        self._live()
        self._begin(request)
        try:
            return int(call())
        finally:
            self._end(request)

    def _speak(self, what: str, text: str, markup: bool, final: bool) -> Result:
        lib = self._lib
        result = Result()
        request = _Request(result.add, audio=result.audio)

        def call() -> int:
            # An open stream goes on with this text: word offsets count from
            # its start, and the Result's text is all of it.
            stream = self._stream or SubmittedText()
            self._stream = None
            request.text = stream
            data = stream.add(text, plain=not markup)
            result.set_text(stream.pieces())
            if what == "flush":
                code: int = (lib.vrFlushSpeechStreamXML if markup
                             else lib.vrFlushSpeechStream)(self._live())
            elif what == "push":
                code = (lib.vrPushSpeechStreamXML if markup
                        else lib.vrPushSpeechStream)(self._live(), data)
            else:
                code = (lib.vrRenderSpeechXML if markup else lib.vrRenderSpeech)(self._live(), data)
            if not final and code == 0:
                self._stream = stream
            return code

        code = self._call(request, call)
        if code != 0 or request.errors:
            raise error_for(code, what, request.server_message(), result)
        return result

    def _launch(self, request: _Request, text: str, markup: bool) -> None:
        """Starts an asynchronous render as the connection's request; blocks
        while another request runs."""
        function = self._lib.vrRenderSpeechXMLAsync if markup else self._lib.vrRenderSpeechAsync
        self._live()
        self._begin(request)
        try:
            if self._stream is not None:
                raise Busy(-6, "a stream is open: flush() it before an asynchronous render")
            assert request.text is not None
            data = request.text.add(text, plain=not markup)
            # The library's worker holds its previous request through the
            # completion event and a moment after; a launch in that window
            # gets VR_BUSY, so retry for a bounded time.
            deadline = time.monotonic() + 5
            code = function(self._live(), data)
            while code == -6 and time.monotonic() < deadline:
                time.sleep(0.001)
                code = function(self._live(), data)
        except BaseException:
            self._end(request)
            raise
        if code != 0:
            self._end(request)
            raise error_for(code, "render_async")

    async def _alaunch(self, loop: asyncio.AbstractEventLoop, request: _Request, text: str,
                       markup: bool) -> None:
        # The launch waits for the request before; it does so on a thread of
        # its own. A task cancelled meanwhile lets the launch finish, then
        # stops what it launched.
        launch = _in_thread(loop, self._launch, request, text, markup)
        try:
            await asyncio.shield(launch)
        except asyncio.CancelledError:
            try:
                await launch
            except VrelayError:
                raise asyncio.CancelledError() from None
            await _shielded_in_thread(loop, self._stop, request)
            raise

    def _stop(self, request: Optional[_Request]) -> None:
        """Stops the request (None: whatever runs, if anything) with
        vrCancelRequest, which returns once it has ended and the connection
        is rebuilt. No request starts meanwhile, so the stop hits no other."""
        with self._idle:
            current = self._request
            if request is not None and current is not request:
                return  # it has ended
            if current is not None:
                current.stopping = True
            self._cancels += 1
        try:
            code = self._lib.vrCancelRequest(self._live())
        finally:
            with self._idle:
                self._cancels -= 1
                self._idle.notify_all()
            self._stream = None
            self._after_stop(current)
        if code not in (0, -3):  # -3: the connection was not open, nothing ran
            raise error_for(code, "cancel")

    def _after_stop(self, request: Optional[_Request]) -> None:
        # A stopped asynchronous request's completion, if it came, was held
        # back for this; a blocking one's own thread ends it.
        if request is None or not request.asynchronous:
            return
        self._end(request)
        with self._idle:
            on_done, request.on_done = request.on_done, None
        if on_done is not None:
            on_done(request)

    def _raise_for_end(self, request: _Request, what: str,
                       result: Optional[Result] = None) -> None:
        if request.stopping:
            raise Cancelled(-5, what, None, result)
        if request.errors:
            raise error_for(0, what, request.server_message(), result)

    # ---- The packet callback -----------------------------------------------------

    def _on_packet(self, _user_data: Any, packet_type: int, data: Any, length: int) -> int:
        # Runs on the thread of the request in flight, with the library's
        # connection lock held. An exception must not cross back into C.
        try:
            request = self._request
            if packet_type == _DONE:
                self._on_done()
            elif request is not None:
                if packet_type == _AUDIO and request.audio is not None:
                    if length > 0:
                        request.audio += (ctypes.c_char * length).from_address(data)
                    return 0
                event = self._decode(request, packet_type, data, length)
                if event is not None:
                    request.sink(event)
            return 0
        except Exception:  # noqa: BLE001 - nowhere to report it; the request goes on
            return 0

    def _on_done(self) -> None:
        with self._idle:
            request = self._request
            if request is None:
                return
            request.finished = True
            self._request = None  # free before anyone hears of the end
            self._idle.notify_all()
            if request.stopping:
                return  # the stopper finishes it once the stop returns
            on_done, request.on_done = request.on_done, None
        if on_done is not None:
            on_done(request)

    def _decode(self, request: _Request, packet_type: int, data: Any,
                length: int) -> Optional[Event]:
        if packet_type == _AUDIO:
            return Audio(ctypes.string_at(data, length) if length > 0 else b"")
        if packet_type == _PHONEME:
            p = _library.PhonemeEvent.from_address(data)
            return Phoneme((p.phone or b"").decode(errors="replace"),
                           (p.next_phone or b"").decode(errors="replace"),
                           p.first, p.value1, p.value2)
        payload = ctypes.string_at(data, length) if length > 0 else b""
        if packet_type == _MARK and len(payload) >= 5:
            (offset,) = struct.unpack_from(">i", payload)
            name = payload[4:].split(b"\0", 1)[0].decode(errors="replace")
            rate = self._sample_rate
            mark = Mark(name, offset, offset / rate if rate else None)
            word = _word_mark(name)
            if word is not None:
                chars, byte, count, size = word
                text = request.text
                if text is not None:
                    chars, count = text.caller_chars(chars), \
                        text.caller_chars(chars + count) - text.caller_chars(chars)
                    byte, size = text.caller_bytes(byte), \
                        text.caller_bytes(byte + size) - text.caller_bytes(byte)
                mark.char_offset, mark.byte_offset = chars, byte
                mark.char_length, mark.byte_length = count, size
            return mark
        if packet_type == _FORMAT and len(payload) >= 8:
            rate, bits, channels = struct.unpack_from(">IHH", payload)
            self._sample_rate = rate
            return AudioFormat(rate, bits, channels)
        message = payload.split(b"\0", 1)[0].decode(errors="replace")
        if packet_type == _MESSAGE:
            if message.startswith(_SERVER_ERROR):
                request.errors.append(message[len(_SERVER_ERROR):])
            return Message(message)
        if packet_type == _QUERY:
            return QueryReply(message)
        return None


# ---- Threads for asyncio --------------------------------------------------------

def _settle_threadsafe(loop: asyncio.AbstractEventLoop, future: "asyncio.Future[_T]",
                       value: _T) -> None:
    def settle() -> None:
        if not future.done():
            future.set_result(value)
    try:
        loop.call_soon_threadsafe(settle)
    except RuntimeError:
        pass  # the loop has closed: nobody is waiting


def _in_thread(loop: asyncio.AbstractEventLoop, function: Callable[..., _T],
               *args: Any) -> "asyncio.Future[_T]":
    """Runs a blocking call on a thread of its own (not the loop's executor,
    whose threads may all be waiting for this connection)."""
    future: "asyncio.Future[_T]" = loop.create_future()

    def run() -> None:
        try:
            value = function(*args)
        except BaseException as error:  # noqa: BLE001 - handed to the awaiting task
            failure = error

            def fail() -> None:
                if not future.done():
                    future.set_exception(failure)
            try:
                loop.call_soon_threadsafe(fail)
            except RuntimeError:
                pass
            return
        _settle_threadsafe(loop, future, value)

    threading.Thread(target=run, name="vrelay-asyncio", daemon=True).start()
    return future


async def _shielded_in_thread(loop: asyncio.AbstractEventLoop, function: Callable[..., Any],
                              *args: Any) -> None:
    """Runs a blocking call to its end even if the awaiting task is cancelled
    again meanwhile."""
    stop = _in_thread(loop, function, *args)
    try:
        await asyncio.shield(stop)
    except asyncio.CancelledError:
        pass

