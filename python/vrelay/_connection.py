# SPDX-License-Identifier: MIT
"""A connection to a speech server: blocking calls, futures, event iterators
and their asyncio forms, all over the library's packet callback."""

from __future__ import annotations

import concurrent.futures
import errno
import os
import queue
import threading
import time
import warnings
from typing import (TYPE_CHECKING, Any, AsyncIterator, Awaitable, Callable, Generator, Iterable,
                    List, Optional, Tuple, TypeVar, Union)

from . import _library
from ._decoder import AUDIO, DONE, PHONEME, AnswerDecoder
from ._errors import Busy, Cancelled, ConnectFailed, GeneralError, VrelayError, error_for
from ._events import Done, Event, QueryReply, Result
from ._prosody import Prosody, ProsodyWarning, Typed
from ._resume import Resumption
from ._text import SubmittedText, build_request, check as check_text, encode
from ._voices import Voice

# asyncio (with ssl, which it loads) would double the memory an import of the
# package takes; the coroutines import it when they first run, in a program
# that has it loaded already.
if TYPE_CHECKING:
    import asyncio

# The query that lists the voices: what a speech server answers at once.
_VOICE_LIST = b'<voice name="all"/>'

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
    __slots__ = ("sink", "result", "decoder", "on_done", "asynchronous", "stopping", "finished",
                 "_given_on_done")

    def __init__(self, sink: Callable[[Event], None],
                 on_done: "Optional[Callable[[_Request], None]]" = None,
                 result: Optional[Result] = None,
                 decoder: Optional[AnswerDecoder] = None) -> None:
        self.sink = sink
        # Where audio and phonemes go straight from the packet, without an
        # event for each: the one copy a Result's audio takes.
        self.result = result
        self.decoder = decoder or AnswerDecoder()
        self.on_done = on_done
        self._given_on_done = on_done
        self.asynchronous = on_done is not None  # holds the slot until its completion
        self.stopping = False     # a cancel began before the request's end
        self.finished = False     # its completion event arrived

    def again(self) -> None:
        """The same request goes on with another submission (a resumed
        render): it is not finished, and its on_done is due again."""
        self.finished = False
        self.on_done = self._given_on_done

    def server_message(self) -> Optional[str]:
        return self.decoder.refusal()

    def failure(self, what: str, result: Optional[Result] = None) -> Optional[VrelayError]:
        """Why an asynchronous request that ended by itself failed: the
        server's refusal, or an answer cut short; None when it is whole."""
        if self.decoder.errors:
            return error_for(0, what, self.server_message(), result)
        if not self.decoder.complete:
            return GeneralError(-1, what, None, result)
        return None


def _prosody(rate: Typed, pitch: Typed, volume: Typed) -> Prosody:
    """The prosody asked for; the notices of values moved into reach go out
    as ProsodyWarnings, attributed to the caller of the public method."""
    prosody = Prosody(rate, pitch, volume)
    for notice in prosody.notices:
        warnings.warn(notice, ProsodyWarning, stacklevel=4)
    return prosody


def _address(host: str, port: int) -> str:
    return ("[%s]" % host if ":" in host else host) + ":%d" % port


def parse_address(text: str) -> Optional[Tuple[str, int]]:
    """HOST:PORT or [IPv6]:PORT, the port a decimal number from 1 to 65535;
    None for anything else."""
    host, colon, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]") and len(host) > 2:
        host = host[1:-1]
    if not colon or not host or not (port.isascii() and port.isdigit()) \
            or not 0 < int(port) <= 65535:
        return None
    return host, int(port)


Address = Union[str, Tuple[str, int]]


def _checked_address(address: object, what: str) -> Tuple[str, int]:
    """(host, port) of a "HOST:PORT" or a (host, port); TypeError or
    ValueError for anything else."""
    if isinstance(address, str):
        parsed = parse_address(address)
        if parsed is None:
            raise ValueError('%s must be "HOST:PORT", not %r' % (what, address))
        return parsed
    if not isinstance(address, tuple) or len(address) != 2:
        raise TypeError("%s must be \"HOST:PORT\" or (host, port), not %s"
                        % (what, type(address).__name__))
    host, port = address
    encode(host, "host")
    if not isinstance(port, int) or isinstance(port, bool):
        raise TypeError("port must be int, not %s" % type(port).__name__)
    if not 0 < port < 65536:
        raise ValueError("port must be from 1 to 65535, not %d" % port)
    return host, port


def _why_no_server(host: str, port: int) -> str:
    """Why nothing answers at host:port, from a plain connection of our own."""
    import socket  # only here: an import of the package stays small
    try:
        with socket.create_connection((host, port), timeout=3):
            return "it accepts connections, but does not speak"
    except socket.gaierror:
        return "no such host"
    except OSError as error:
        number = errno.ETIMEDOUT if isinstance(error, TimeoutError) else error.errno
        why = os.strerror(number) if number else str(error)
        return why[:1].lower() + why[1:]


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
        result.sample_rate = request.decoder.sample_rate
        failure = request.failure("render_async", result)

        def settle() -> None:
            if failure is not None:
                self.set_exception(failure)
            else:
                self.set_result(result)
        # The completion event comes with the connection's lock held: the
        # future's callbacks run on a thread of their own, where they may use
        # the connection.
        threading.Thread(target=settle, name="vrelay-future", daemon=True).start()


class Connection:
    """One connection to a speech server; a context manager that closes it.

    Opening it asks the server for its voices, so that an address where no
    speech server answers raises ConnectFailed saying why ("connection
    refused", "no such host", "what answers there is not a speech server");
    a server that refuses the session ("server busy") raises ServerError.
    ``alternates`` are more servers ("HOST:PORT" or (host, port)): tried in
    order when the first does not answer, and when a render goes on after
    its server failed (see render()). Errors are those of the first address.

    Requests on one connection run one at a time; a request waits for the
    one before it. Any thread may use the connection. The connection owns
    the ctypes callback for as long as its handle lives.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 5555, *,
                 alternates: Iterable[Address] = ()) -> None:
        self._addresses = [_checked_address((host, port), "the address")]
        self._addresses += [_checked_address(a, "an alternate") for a in alternates]
        self._current = 0
        self._address = _address(host, port)
        self._voice: Optional[bytes] = None  # the voice set, chosen again on a new server
        self._lib = _library.library()
        # _request is the one request in flight; _cancels counts stops in
        # progress, during which no request starts (a stop must not hit the
        # next request). _stream is the open stream's text and decoder,
        # touched only by the thread whose request is in flight.
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._request: Optional[_Request] = None
        self._cancels = 0
        # A render between its server's failure and its next request.
        self._resuming: Optional[_Request] = None
        self._stream: Optional[Tuple[SubmittedText, AnswerDecoder]] = None
        self._callback = _library.CALLBACK(self._on_packet)
        self._handle: Optional[int] = self._lib.vrCreateConnection()
        if self._handle is None or self._handle < 0:
            code, self._handle = self._handle or -1, None
            raise error_for(code, "vrCreateConnection")
        self._lib.vrSetCallBack(self._handle, self._callback)
        failure: Optional[VrelayError] = None
        try:
            for index in range(len(self._addresses)):
                try:
                    self._open(index)
                    return
                except VrelayError as error:
                    failure = failure or error
        except BaseException:
            self.close()
            raise
        self.close()
        assert failure is not None
        raise failure

    def _open(self, index: int) -> None:
        """Opens the handle to the index-th address and checks what answers
        there (choosing the voice set, if any); the connection to it replaces
        the one before. VrelayError when it fails."""
        host, port = self._addresses[index]
        address = _address(host, port)
        if self._lib.vrOpenConnection(self._live(), host.encode(), port) != 0:
            raise ConnectFailed(-4, reason=_why_no_server(host, port), address=address)
        self._current, self._address = index, address
        self._check_server()
        if self._voice is not None:
            self._choose_voice(self._voice, "set_voice(%r)" % self._voice.decode())

    def _check_server(self) -> None:
        request = _Request(lambda event: None)
        code = self._call(request, lambda: self._lib.vrQueryServer(self._live(), _VOICE_LIST))
        if request.decoder.errors:
            raise error_for(0, "connect to %s" % self._address, request.server_message())
        if code != 0 and not request.decoder.answered:
            raise ConnectFailed(-4, reason="what answers there is not a speech server",
                                address=self._address)
        if code != 0:
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

    @property
    def address(self) -> str:
        """"HOST:PORT" of the server the connection is to: the first address,
        or an alternate after the first did not answer or a render went on
        there after a server failure."""
        return self._address

    def close(self) -> None:
        """Stops a running request and closes the connection. Idempotent."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is None:
            return
        with self._idle:
            request = self._request
            for stopped in (request, self._resuming):
                if stopped is not None:
                    stopped.stopping = True
        self._lib.vrDestroyConnection(handle)
        self._after_stop(request)

    # ---- Rendering -----------------------------------------------------------

    def render(self, text: str, markup: bool = False, *, rate: Typed = None,
               pitch: Typed = None, volume: Typed = None, resume: bool = True) -> Result:
        """Renders text and returns its Result once the server has answered.
        Plain text is spoken as written (``<`` and ``&`` included); with
        markup=True the text is markup. rate, pitch and volume take what
        vrelay-say's --rate, --pitch and --volume take ("150%", "+2st",
        "-6dB", "x-slow"; see Prosody); a value past the voice's reach is
        used at the nearer end, with a ProsodyWarning. An open stream ends
        with this text (and takes no rate, pitch or volume, and does not
        resume).

        When the server fails mid-text (the connection breaks or the server
        closes it; not a cancel, not a refusal), the render goes on: the
        connection reopens to the same address, else to the alternates, and
        the rest of the text goes from the start of the last word whose mark
        and audio had begun to come, in the same voice, prosody and open
        markup, with a ResumeWarning saying so. The Result is that of one
        render: each word mark once, offsets into all of text, the audio
        after that word's mark replaced (every word's audio once), sample
        offsets on one clock. Trying ends after three tries in a row without
        a new word or ten seconds; then the failure raises as it would
        without resuming, with what came in its ``result``. resume=False: a
        failure raises at once."""
        check_text(text)
        prosody = _prosody(rate, pitch, volume)
        return self._speak("render", text, markup, final=True, styled=bool(prosody),
                           job=Resumption(text, markup, prosody.tag(), resume, rewind=True))

    def push(self, text: str, markup: bool = False) -> Result:
        """Sends the complete words of a piece of a stream and returns what
        they answered. The Result's text is every piece pushed so far, and
        its marks' times count from the stream's start. (A stream takes its
        prosody in markup: <prosody rate="150%">...)"""
        check_text(text)
        return self._speak("push", text, markup, final=False)

    def flush(self, markup: bool = False) -> Result:
        """Sends the rest of the stream and ends it; returns what that
        answered, with the whole stream as its text."""
        return self._speak("flush", "", markup, final=True)

    def render_async(self, text: str, markup: bool = False, *, rate: Typed = None,
                     pitch: Typed = None, volume: Typed = None) -> RenderFuture:
        """Starts a render on the library's worker thread and returns a
        future of its Result; the future's cancel() stops the request.
        rate, pitch and volume as for render(); it does not resume after a
        server failure (arender() does)."""
        check_text(text)
        submitted, data = self._submission(text, markup, rate, pitch, volume)
        future = RenderFuture(self)
        result = Result(text)
        request = _Request(result.add, lambda r: future._finish(r, result), result)
        request.decoder.begin_request(submitted, markup)
        future._request = request
        self._launch(request, data)
        return future

    def events(self, text: str, markup: bool = False, *, rate: Typed = None,
               pitch: Typed = None, volume: Typed = None, resume: bool = True,
               rewind: bool = False) -> Generator[Event, None, None]:
        """Renders asynchronously and yields each event as it arrives, ending
        with Done. Leaving the loop early (or closing the iterator) stops the
        request; a stop from elsewhere raises Cancelled, an answer cut short
        or refused raises GeneralError. rate, pitch, volume and resume as
        for render(). After a resume the events go on as one render's: each
        mark once, and the audio of the interrupted word comes again, as a
        player would want it. rewind=True is for a consumer that keeps the
        audio (a file, a buffer): the audio after a resume starts at that
        word's mark, so the next Audio's ``first`` is a sample that came
        already: drop what you hold from there."""
        check_text(text)
        job = Resumption(text, markup, _prosody(rate, pitch, volume).tag(), resume, rewind)
        return self._events(job)

    def _events(self, job: Resumption) -> Generator[Event, None, None]:
        events: "queue.Queue[Optional[Event]]" = queue.Queue()
        request = _Request(events.put, lambda r: events.put(None), decoder=job.decoder)
        while True:
            self._launch(request, job.next_request()[0])
            ended = False
            try:
                while (event := events.get()) is not None:
                    yield event
                ended = True
            finally:
                if not ended:
                    self._stop(request)
            if not self._resume(job, request, None, stacklevel=3):
                break
            request.again()
        self._raise_for_end(request, "events")
        yield Done()

    def arender(self, text: str, markup: bool = False, *, rate: Typed = None,
                pitch: Typed = None, volume: Typed = None,
                resume: bool = True) -> Awaitable[Result]:
        """Renders without blocking the event loop. Cancelling the awaiting
        task stops the request on the server. rate, pitch, volume and resume
        as for render() (the ResumeWarning comes from another thread)."""
        check_text(text)
        return self._arender(Resumption(text, markup, _prosody(rate, pitch, volume).tag(),
                                        resume, rewind=True))

    async def _arender(self, job: Resumption) -> Result:
        import asyncio
        loop = asyncio.get_running_loop()
        done: "asyncio.Future[None]" = loop.create_future()
        result = Result(job.text)

        def on_done(request: _Request) -> None:
            _settle_threadsafe(loop, done, None)

        request = _Request(result.add, on_done, result, job.decoder)
        data, _ = job.next_request()
        while True:
            await self._alaunch(loop, request, data)
            try:
                await done
            except asyncio.CancelledError:
                await _shielded_in_thread(loop, self._stop, request)
                raise
            resumed = _in_thread(loop, self._resume, job, request, None, 1)
            try:
                if not await asyncio.shield(resumed):
                    break
            except asyncio.CancelledError:
                await _shielded_in_thread(loop, self._stop, request)
                raise
            done = loop.create_future()
            request.again()
            data, first = job.next_request()
            result._take_back(first)
        result.sample_rate = request.decoder.sample_rate
        self._raise_for_end(request, "arender", result)
        return result

    def astream(self, text: str, markup: bool = False, *, rate: Typed = None,
                pitch: Typed = None, volume: Typed = None, resume: bool = True,
                rewind: bool = False) -> AsyncIterator[Event]:
        """Renders without blocking the event loop and yields each event as it
        arrives, ending with Done. Cancelling the task or closing the iterator
        (``contextlib.aclosing``) stops the request. rate, pitch, volume and
        resume as for render(), resume and rewind as for events() (the
        ResumeWarning comes from another thread)."""
        check_text(text)
        return self._astream(Resumption(text, markup, _prosody(rate, pitch, volume).tag(),
                                        resume, rewind))

    async def _astream(self, job: Resumption) -> AsyncIterator[Event]:
        import asyncio
        loop = asyncio.get_running_loop()
        events: "asyncio.Queue[Optional[Event]]" = asyncio.Queue()

        def sink(event: Event) -> None:
            loop.call_soon_threadsafe(events.put_nowait, event)

        def on_done(request: _Request) -> None:
            try:
                loop.call_soon_threadsafe(events.put_nowait, None)
            except RuntimeError:
                pass  # the loop has closed: nobody is listening

        request = _Request(sink, on_done, decoder=job.decoder)
        ended = False
        try:
            while True:
                await self._alaunch(loop, request, job.next_request()[0])
                while (event := await events.get()) is not None:
                    yield event
                if not await asyncio.shield(_in_thread(loop, self._resume, job, request,
                                                       None, 1)):
                    break
                request.again()
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
        self._choose_voice(data, "set_voice(%r)" % wanted)
        self._voice = data

    def _choose_voice(self, data: bytes, what: str) -> None:
        request = _Request(lambda event: None)
        code = self._call(request, lambda: self._lib.vrSetVoiceFast(self._live(), data))
        if code != 0 or request.decoder.errors:
            raise error_for(code, what, request.server_message())

    def query(self, text: str) -> str:
        """Sends a query and returns the reply text."""
        data = encode(text, "query")
        replies: List[str] = []

        def sink(event: Event) -> None:
            if isinstance(event, QueryReply):
                replies.append(event.text)

        request = _Request(sink)
        code = self._call(request, lambda: self._lib.vrQueryServer(self._live(), data))
        if code != 0 or request.decoder.errors:
            raise error_for(code, "query", request.server_message())
        return "".join(replies)

    # ---- Requests ----------------------------------------------------------------

    def _live(self) -> int:
        handle = self._handle
        if handle is None:
            raise error_for(-2, "the connection is closed")
        return handle

    @staticmethod
    def _submission(text: str, markup: bool, rate: Typed, pitch: Typed,
                    volume: Typed) -> Tuple[SubmittedText, bytes]:
        """What to send for a whole text in the prosody asked for."""
        return build_request(text, markup, _prosody(rate, pitch, volume).tag())

    def _begin(self, request: _Request) -> None:
        # Waits for the request before (an asynchronous one holds the slot
        # until its completion event) and for stops in progress. A resumed
        # render stopped between its requests starts no more.
        with self._idle:
            self._idle.wait_for(lambda: self._request is None and self._cancels == 0)
            if request.stopping:
                raise Cancelled(-5, "the render was stopped")
            self._request = request

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

    def _speak(self, what: str, text: str, markup: bool, final: bool,
               job: Optional[Resumption] = None, styled: bool = False) -> Result:
        """A render (job: its text and how it resumes; styled: it asks for a
        prosody), a piece of a stream or its flush."""
        lib = self._lib
        result = Result()
        request = _Request(result.add, result=result)

        def call() -> int:
            if job is not None and self._stream is None:
                data, first = job.next_request()
                request.decoder = job.decoder
                result.set_text(job.text)
                result._take_back(first)
                return int(lib.vrRenderSpeechXML(self._live(), data))
            if styled:
                raise Busy(-6, "a stream is open: flush() it before a render with rate, "
                               "pitch or volume")
            # An open stream goes on with this text: word offsets and times
            # count from its start, and the Result's text is all of it.
            stream, decoder = self._stream or (SubmittedText(), AnswerDecoder())
            self._stream = None
            request.decoder = decoder
            decoder.begin_request(stream, markup)
            data = stream.add(text, plain=not markup)
            result.set_text(stream.pieces())
            if what == "flush":
                code = int(lib.vrFlushSpeechStreamXML(self._live()))
            elif what == "push":
                code = int(lib.vrPushSpeechStreamXML(self._live(), data))
            else:
                code = int(lib.vrRenderSpeechXML(self._live(), data))
            if not final and code == 0:
                self._stream = stream, decoder
            return code

        code = self._call(request, call)
        while job is not None and request.decoder is job.decoder \
                and self._resume(job, request, code, stacklevel=5):
            code = self._call(request, call)
        result.sample_rate = request.decoder.sample_rate
        if request.stopping and code != 0:
            raise Cancelled(-5, what, None, result)
        if code != 0 or request.decoder.errors:
            raise error_for(code, what, request.server_message(), result)
        return result

    def _resume(self, job: Resumption, request: _Request, code: Optional[int],
                stacklevel: int) -> bool:
        """After a request of job ended: whether it failed by its server and
        goes on, reopened to the same address or another (each try within
        the job's bounds); the ResumeWarning is given then. False when it
        ended otherwise, was stopped, or no server took it in time."""
        if request.stopping or not job.server_failed(code, self._current, len(self._addresses)):
            return False
        reason = error_for(-1 if code is None else code, "").reason
        with self._idle:
            self._resuming = request
        try:
            while not request.stopping:
                index = job.next_address()
                if index is None:
                    return False
                try:
                    self._open(index)
                except VrelayError:
                    job.try_failed()
                    continue
                if request.stopping:
                    return False
                warnings.warn(job.notice(reason, self._address), stacklevel=stacklevel)
                return True
            return False
        finally:
            with self._idle:
                self._resuming = None

    def _launch(self, request: _Request, data: bytes) -> None:
        """Starts an asynchronous render as the connection's request; blocks
        while another request runs."""
        function = self._lib.vrRenderSpeechXMLAsync
        self._live()
        self._begin(request)
        try:
            if self._stream is not None:
                raise Busy(-6, "a stream is open: flush() it before an asynchronous render")
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

    async def _alaunch(self, loop: asyncio.AbstractEventLoop, request: _Request,
                       data: bytes) -> None:
        import asyncio
        # The launch waits for the request before; it does so on a thread of
        # its own. A task cancelled meanwhile lets the launch finish, then
        # stops what it launched.
        launch = _in_thread(loop, self._launch, request, data)
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
            resuming = self._resuming
            if resuming is not None and request in (None, resuming):
                resuming.stopping = True  # it starts no more requests
            if request is not None and current is not request and resuming is not request:
                return  # it has ended
            if current is not None:
                current.stopping = True
            self._cancels += 1
        try:
            code = self._lib.vrCancelRequest(self._live())
            # A cancel that comes before a blocking call has begun its request
            # inside the library finds nothing to stop, and the request would
            # wait for a silent server: while that call goes on, cancel again.
            while code == 0 and current is not None and not current.asynchronous:
                with self._idle:
                    if self._idle.wait_for(lambda: self._request is not current, 0.1):
                        break
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
        failure = request.failure(what, result)
        if failure is not None:
            raise failure

    # ---- The packet callback -----------------------------------------------------

    def _on_packet(self, _user_data: Any, packet_type: int, data: Any, length: int) -> int:
        # Runs on the thread of the request in flight, with the library's
        # connection lock held. An exception must not cross back into C.
        try:
            request = self._request
            if packet_type == DONE:
                self._on_done()
            elif request is not None:
                result = request.result
                if result is not None:
                    if packet_type == AUDIO:
                        for mark in request.decoder.add_audio(result.audio, data, length):
                            request.sink(mark)
                        return 0
                    if packet_type == PHONEME:
                        request.decoder.add_phoneme(result.phonemes, data, length)
                        return 0
                for event in request.decoder.decode(packet_type, data, length):
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
    import asyncio
    stop = _in_thread(loop, function, *args)
    try:
        await asyncio.shield(stop)
    except asyncio.CancelledError:
        pass

