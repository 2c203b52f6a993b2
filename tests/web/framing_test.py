# SPDX-License-Identifier: MIT
"""vrelay-web's WebSocket messages and HTTP side, from a client on the
standard library. The bridge runs the tone engine: 16 kHz, 1920 samples
(a 100 ms tone and 20 ms of silence) per word with letters."""

import math
import os
import re
import resource
import shlex
import signal
import socket
import struct
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from web_client import (AUDIO, END, FORMAT, SOURCE, STOP, WORD, Closed, SpeechServer, WebServer,
                        WebSocket, decode, played, speak, token, unit_args, with_option)

PROGRAM = os.environ.get("VRELAY_WEB", "vrelay-web")
MAX_TEXT = 8192
SAMPLES_PER_WORD = 1920


def utf16(text, begin, end):
    return text.encode("utf-16-le")[2 * begin:2 * end].decode("utf-16-le")


class Bridge(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = WebServer(PROGRAM, "--max-text", str(MAX_TEXT),
                               "--max-sessions-per-address", "1000").__enter__()
        cls.tokens = 0

    @classmethod
    def tearDownClass(cls):
        status, err = cls.server.stop()
        assert status == 0, "vrelay-web ended with %s: %s" % (status, err)

    def socket(self, session=None, **kw):
        if session is None:
            Bridge.tokens += 1
            session = token(Bridge.tokens)
        ws = WebSocket(self.server.port, session=session, **kw)
        self.addCleanup(ws.close_socket)
        return ws

    def run_speak(self, text, ack=True, **kw):
        """(words as (sample, text), audio samples, END fields, close code) of one session."""
        ws = self.socket()
        ws.send(speak(text, **kw))
        words, samples, end, rate = [], 0, None, None
        try:
            while True:
                kind, fields = decode(ws.receive())
                if kind == FORMAT:
                    rate = fields[0]
                elif kind == WORD:
                    self.assertIsNotNone(rate, "FORMAT comes first")
                    words.append((fields[0], utf16(text, fields[1], fields[2])))
                elif kind == AUDIO:
                    samples += fields
                    if ack:
                        ws.send(played(samples))
                elif kind == END:
                    end = fields
        except Closed as closed:
            return words, samples, end, closed.code

    def test_words_map_back_to_the_page_text(self):
        cases = [
            # text, options, words expected
            ("Hello wide w\u00f6rld \U0001F600 again", {}, ["Hello", "wide", "w\u00f6rld", "\U0001F600", "again"]),
            ("if a<b and c>d & e", {}, ["if", "a<b", "and", "c>d", "&", "e"]),
            ("one two three four", {"start": 8}, ["three", "four"]),
            ("\U0001F600 x\u00e9 y", {"start": 3}, ["x\u00e9", "y"]),
            ("<prosody rate='slow'><s>One <emphasis>two</emphasis> three</s></prosody> four",
             {"markup": True, "start": 46}, ["three", "four"]),
            ("one two", {"rate": 150, "pitch": -20, "volume": 50, "voice": "tone-low"}, ["one", "two"]),
            ("one two", {"voice": "english"}, ["one", "two"]),  # the server chooses
            # Markup over several requests: the open elements go on in each.
            ("<speak><p><prosody volume='loud'>" + " ".join("w%d" % i for i in range(400)) +
             "</prosody></p></speak>", {"markup": True}, ["w%d" % i for i in range(400)]),
        ]
        for text, options, expected in cases:
            with self.subTest(text=text):
                words, samples, end, code = self.run_speak(text, **options)
                self.assertEqual([w for _, w in words], expected)
                self.assertEqual(end, (0, samples, ""))
                self.assertEqual(code, 1000)
                offsets = [s for s, _ in words]
                self.assertEqual(offsets, sorted(offsets))
                self.assertLess(offsets[-1], samples)

    def test_a_long_text_goes_in_requests_paced_by_the_page(self):
        text = " ".join("word%d" % i for i in range(900))  # several requests
        ws = self.socket()
        ws.send(speak(text))
        words, samples = 0, 0
        try:
            while True:  # no PLAYED: the bridge stops a few seconds ahead
                # The first answer may be slow on a loaded machine; after it,
                # a second of silence means the bridge has stopped.
                ws.sock.settimeout(30 if samples == 0 else 1.0)
                kind, fields = decode(ws.receive())
                words += kind == WORD
                samples += fields if kind == AUDIO else 0
                self.assertNotEqual(kind, END)
        except socket.timeout:
            pass
        self.assertGreater(words, 0)
        self.assertLess(words, 900)
        ws.sock.settimeout(30)
        expected = 0
        while True:
            ws.send(played(samples))
            kind, fields = decode(ws.receive())
            if kind == WORD:
                self.assertEqual(fields[0], words * SAMPLES_PER_WORD)
                self.assertEqual(utf16(text, fields[1], fields[2]), "word%d" % words)
                words += 1
            elif kind == AUDIO:
                samples += fields
            elif kind == END:
                expected = fields
                break
        self.assertEqual(words, 900)
        self.assertEqual(expected, (0, 900 * SAMPLES_PER_WORD, ""))

    def test_stop_ends_the_session_and_the_tab_speaks_again(self):
        session = token(10_000)
        ws = self.socket(session)
        ws.send(speak(" ".join(["again"] * 1300)))
        while decode(ws.receive())[0] != AUDIO:
            pass
        ws.send(bytes([STOP]))
        messages, code, reason = ws.messages()
        self.assertEqual(decode(messages[-1])[1][0], 1, "END says stopped")
        self.assertEqual((code, reason), (1000, "done"))
        again = self.socket(session)
        again.send(speak("once more"))
        messages, code, _ = again.messages()
        self.assertEqual(decode(messages[-1])[1][0], 0)

    def test_bad_messages_close_with_a_reason(self):
        emoji = "\U0001F600 x"
        cases = [
            # what is sent, close code, reason contains
            ((0x1, b"hello"), 1003, "text messages"),
            (b"", 1007, "empty"),
            (b"\x7f", 1007, "unknown message kind"),
            (b"\x01\x00", 1007, "cut short"),
            (speak("x", rate=10), 1007, "out of range"),
            (speak("x", pitch=-95), 1007, "out of range"),
            (speak("x")[:13] + b"\xff\xfe", 1007, "not UTF-8"),
            (speak("x\x00y"), 1007, "NUL"),
            (speak("abc", start=4), 1007, "start"),
            (speak(emoji, start=1), 1007, "start"),
            (b"\x03\x00\x00\x00", 1007, "cut short"),
            (b"\x02\x00", 1007, "longer than its kind"),
            (speak("x" * (MAX_TEXT + 1)), 1009, "longer than %d" % MAX_TEXT),
            (b"\x01" + b"x" * (MAX_TEXT + 2048), 1009, "longer than %d" % MAX_TEXT),
        ]
        session = token(30_000)
        for sent, code, reason in cases:
            with self.subTest(sent=sent[:20], code=code):
                ws = self.socket(session)
                if isinstance(sent, tuple):
                    ws.send_frame(*sent)
                else:
                    ws.send(sent)
                _, got_code, got_reason = ws.messages()
                self.assertEqual(got_code, code)
                self.assertIn(reason, got_reason)
        # A voice the server does not know ends the speech with its reason.
        words, samples, end, code = self.run_speak("x", voice="nobody")
        self.assertEqual((words, samples, end, code), ([], 0, (2, 0, 'unknown voice "nobody"'), 1000))
        ws = self.socket()  # a second SPEAK
        ws.send(speak("one " * 1000))
        ws.send(speak("two"))
        self.assertEqual(ws.messages()[1:], (1007, "SPEAK came twice"))

    def test_origin_and_upgrade_checks(self):
        cases = [
            (None, "/speak?session=%s" % token(1), 101),
            ("http://127.0.0.1:%d" % self.server.port, "/speak?session=%s" % token(2), 101),
            ("http://evil.example", "/speak?session=%s" % token(3), 403),
            ("http://127.0.0.1:%d" % self.server.port, "/speak?session=short", 400),
            (None, "/elsewhere?session=%s" % token(4), 400),
        ]
        for origin, target, status in cases:
            with self.subTest(origin=origin, target=target):
                head = ["GET %s HTTP/1.1" % target, "Host: 127.0.0.1:%d" % self.server.port,
                        "Upgrade: websocket", "Connection: Upgrade",
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13"]
                if origin:
                    head.append("Origin: " + origin)
                with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
                    s.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
                    self.assertEqual(int(s.recv(64).split(b" ")[1]), status)

    def test_http(self):
        cases = [
            (b"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", b"200", b"Content-Security-Policy"),
            (b"GET /settings HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", b"200",
             b'"maxText":%d,\n"sliders":{"rate":[46,400],"pitch":[-35,68],"volume":[0,199]},\n'
             b'"voices":[\n{"name":"tone","language":"English","tag":"en-gb"' % MAX_TEXT),
            (b"HEAD /app.js HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", b"200", b"text/javascript"),
            (b"GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", b"404", b""),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", b"405", b""),
            (b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"y" * 20000 + b"\r\n\r\n", b"413", b""),
            (b"GET / HTTP/1.1\r\nHost: rebound.example:8080\r\n\r\n", b"403", b"host"),
            (b"GET / HTTP/1.1\r\nHost: [::1]:8080\r\nConnection: close\r\n\r\n", b"200", b""),
        ]
        for request, status, contains in cases:
            with self.subTest(request=request[:30]):
                answer = self.server.http(request)
                self.assertEqual(answer.split(b" ")[1], status)
                self.assertIn(contains, answer)


def hold(port, n, **kw):
    """A tab that keeps its socket: a long text, never acknowledged."""
    ws = WebSocket(port, session=token(n), **kw)
    ws.send(speak("hold " * 1500))
    return ws


def served(ws):
    """Whether the bridge started speaking on ws (else it closed it)."""
    try:
        return decode(ws.receive())[0] == FORMAT
    except Closed:
        return False


def tab(port, n, text="Hello there.", voice="", **kw):
    """One tab speaking text to its end: (END reason, close code, close reason)."""
    ws = WebSocket(port, session=token(n), **kw)
    try:
        ws.send(speak(text, voice=voice))
        messages, code, reason = ws.messages()
    finally:
        ws.close_socket()
    return (decode(messages[-1])[1][0] if messages else None), code, reason


def answer(port, source, timeout=10):
    """The status of GET / from source, or None when none comes within timeout."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                      source_address=(source, 0)) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            head = s.recv(64)
            return int(head.split(b" ")[1]) if head else None
    except OSError:
        return None


class Limits(unittest.TestCase):
    def test_sessions_per_address(self):
        server = WebServer(PROGRAM, "--max-sessions-per-address", "2").__enter__()
        self.addCleanup(lambda: self.assertEqual(server.stop()[0], 0))
        port = server.port
        # Two tabs of this address hold their sockets open; a third is refused.
        held = [WebSocket(port, session=token(20_000 + i)) for i in range(2)]
        for ws in held:
            ws.send(speak("hold " * 1500))
            self.assertEqual(decode(ws.receive())[0], FORMAT)
        _, code, reason = WebSocket(port, session=token(20_010)).messages()
        self.assertEqual((code, reason), (1008, "too many sessions from this address"))
        # Another loopback address has its own allowance, and may not take
        # over a session of this one.
        other = WebSocket(port, session=token(20_011), source="127.0.0.2")
        other.send(speak("elsewhere"))
        self.assertEqual(other.messages()[1], 1000)
        stolen = WebSocket(port, session=token(20_000), source="127.0.0.2")
        self.assertEqual(stolen.messages()[1:], (1008, "the session belongs to another address"))
        # A closed tab makes room for a new one.
        held[0].send(bytes([STOP]))
        held[0].messages()
        fresh = WebSocket(port, session=token(20_012))
        fresh.send(speak("fresh"))
        self.assertEqual(fresh.messages()[1], 1000)

    def test_a_trusted_proxys_users_are_counted_apart(self):
        server = WebServer(PROGRAM, "--max-sessions-per-address", "1", "--trusted-proxy",
                           "127.0.0.1", "--trusted-proxy", "10.8.0.0/16").__enter__()
        self.addCleanup(lambda: self.assertEqual(server.stop()[0], 0))
        cases = [
            # peer, headers of a first and a second tab, whether both are served
            ("127.0.0.1", ["X-Forwarded-For: 192.0.2.1"], ["X-Forwarded-For: 192.0.2.2"], True),
            ("127.0.0.1", ["Forwarded: for=192.0.2.3;proto=https"],
             ['Forwarded: for="[2001:db8::3]:4711", for=10.8.0.9'], True),
            ("127.0.0.1", ["X-Forwarded-For: ::ffff:192.0.2.4"], ["X-Forwarded-For: 192.0.2.5:80"],
             True),
            # The address the proxies nearest to the bridge were given counts;
            # one a client wrote before it does not.
            ("127.0.0.1", ["X-Forwarded-For: 192.0.2.6, 10.8.0.1"],
             ["X-Forwarded-For: 198.51.100.1", "X-Forwarded-For: 192.0.2.6"], False),
            ("127.0.0.1", ["X-Forwarded-For: 192.0.2.7"], ["X-Forwarded-For: 192.0.2.7, 10.8.3.3"],
             False),
            # X-Forwarded-For when there is one, else Forwarded.
            ("127.0.0.1", ["X-Forwarded-For: 192.0.2.8"],
             ["Forwarded: for=192.0.2.9", "X-Forwarded-For: 192.0.2.8"], False),
            # No address to read: the proxy's own.
            ("127.0.0.1", ["X-Forwarded-For: unknown"], ["Forwarded: for=_hidden"], False),
            # A peer that is not a listed proxy is counted by its own address.
            ("127.0.0.2", ["X-Forwarded-For: 192.0.2.10"], ["X-Forwarded-For: 192.0.2.11"], False),
            ("127.0.0.3", ["Forwarded: for=192.0.2.12"], ["Forwarded: for=192.0.2.13"], False),
        ]
        for n, (peer, first, second, apart) in enumerate(cases):
            with self.subTest(peer=peer, first=first, second=second):
                tabs = [hold(server.port, 50_000 + 2 * n + i, source=peer, headers=h)
                        for i, h in enumerate([first, second])]
                self.assertTrue(served(tabs[0]))
                self.assertEqual(served(tabs[1]), apart)
                for ws in tabs:
                    ws.close_socket()

    def test_the_manual_proxy_example_serves_50_users_from_one_proxy(self):
        with open(os.path.join(SOURCE, "docs", "man", "vrelay-web.1.scd")) as manual:
            example = next(l for l in manual if l.strip().startswith("vrelay-web --server") and
                           "--trusted-proxy" in l)
        with SpeechServer("--engine", "tone") as speech, \
                WebServer(PROGRAM, *with_option(shlex.split(example)[1:], "--server",
                                                speech.address)) as server:
            users = [hold(server.port, 51_000 + i, headers=["X-Forwarded-For: 198.51.100.%d" % i])
                     for i in range(1, 51)]
            self.assertEqual([i for i, ws in enumerate(users, 1) if not served(ws)], [])
            for ws in users:
                ws.close_socket()
            self.assertEqual(server.stop()[0], 0)

    def test_one_address_at_its_socket_limit_leaves_others_served(self):
        server = WebServer(PROGRAM, "--max-connections-per-address", "10").__enter__()
        self.addCleanup(lambda: self.assertEqual(server.stop()[0], 0))
        held = [socket.create_connection(("127.0.0.1", server.port), source_address=("127.0.0.2", 0))
                for _ in range(6)]
        held += [WebSocket(server.port, session=token(52_000 + i), source="127.0.0.2").sock
                 for i in range(4)]
        self.assertEqual(answer(server.port, "127.0.0.2"), 503)
        self.assertEqual(answer(server.port, "127.0.0.3"), 200)
        other = WebSocket(server.port, session=token(52_010), source="127.0.0.3", timeout=10)
        self.assertEqual(other.status, 101)
        other.close_socket()
        for s in held:
            s.close()

    def test_a_flood_from_many_addresses_leaves_descriptors_to_answer(self):
        # 300 idle connections against 256 descriptors: a new client is
        # answered at once, and served once they go.
        server = WebServer(PROGRAM, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (256, 256))).__enter__()
        self.addCleanup(lambda: self.assertEqual(server.stop()[0], 0))
        held = [socket.create_connection(("127.0.0.1", server.port),
                                         source_address=("127.0.3.%d" % (i // 10 + 1), 0))
                for i in range(300)]
        self.assertEqual(answer(server.port, "127.0.4.1"), 503)
        for s in held:
            s.close()
        deadline = time.monotonic() + 30
        while answer(server.port, "127.0.4.1") != 200 and time.monotonic() < deadline:
            pass
        self.assertEqual(answer(server.port, "127.0.4.1"), 200)

    def test_pings_do_not_keep_an_idle_websocket(self):
        server = WebServer(PROGRAM, "--websocket-idle-timeout", "1").__enter__()
        self.addCleanup(lambda: self.assertEqual(server.stop()[0], 0))
        ws = WebSocket(server.port, session=token(53_000))
        ws.sock.settimeout(0.2)
        closed, began = None, time.monotonic()
        while closed is None and time.monotonic() < began + 20:
            ws.send_frame(0x9, b"still here")
            try:
                ws.receive()
            except socket.timeout:
                pass
            except Closed as close:
                closed = (close.code, close.reason)
        self.assertEqual(closed, (1008, "no message for 1 s"))
        self.assertLess(time.monotonic() - began, 10)


class WithSpeechServer(unittest.TestCase):
    """The bridge against a vrelay-server of its own."""

    def test_the_packaged_units_serve_100_tabs_20_speaking_at_once(self):
        web_args = unit_args("vrelay-web.service")
        with SpeechServer(*unit_args("vrelay-server.service")) as speech, \
                WebServer(PROGRAM, *with_option(web_args, "--server", speech.address)) as server:
            # A hundred users open the page and speak once; twenty speak at once.
            for n in range(1, 101):
                self.assertEqual(tab(server.port, 54_000 + n, source="127.0.1.%d" % n),
                                 (0, 1000, "done"), "tab %d" % n)
            with ThreadPoolExecutor(20) as pool:
                results = list(pool.map(lambda n: tab(server.port, 54_000 + n,
                                                      source="127.0.1.%d" % n), range(1, 21)))
            self.assertEqual(results, [(0, 1000, "done")] * 20)
            # The voice list's connection, and the bridge's pool.
            pool_size = int(web_args[web_args.index("--server-connections") + 1])
            self.assertLessEqual(speech.sessions_opened(), 1 + pool_size)

    def test_1000_tabs_in_turn_at_the_session_limit(self):
        with SpeechServer("--engine", "tone", "--max-sessions", "64",
                          "--max-sessions-per-address", "0") as speech, \
                WebServer(PROGRAM, "--server", speech.address, "--max-sessions", "64",
                          "--max-sessions-per-address", "64") as server:
            results = [tab(server.port, 55_000 + n, "one") for n in range(1000)]
            self.assertEqual([(n, r) for n, r in enumerate(results) if r != (0, 1000, "done")], [])

    def test_a_connection_given_again_speaks_in_the_tabs_voice(self):
        def audio(voice):
            ws = WebSocket(server.port, session=token(57_000))
            ws.send(speak("one two", voice=voice))
            messages = ws.messages()[0]
            ws.close_socket()
            return b"".join(m[1:] for m in messages if m[0] == AUDIO)

        with SpeechServer("--engine", "tone") as speech, \
                WebServer(PROGRAM, "--server", speech.address, "--server-connections", "1") as server:
            plain, low = audio("tone"), audio("tone-low")
            self.assertNotEqual(plain, low)
            # A cancel leaves a new server session behind, in the default voice.
            ws = WebSocket(server.port, session=token(57_001))
            ws.send(speak("stop " * 1500, voice="tone-low"))
            while decode(ws.receive())[0] != AUDIO:
                pass
            ws.send(bytes([STOP]))
            ws.messages()
            ws.close_socket()
            self.assertEqual(audio("tone-low"), low)
            # So does a server that restarts.
            speech.restart()
            self.assertEqual(audio("tone-low"), low)
            self.assertEqual(audio("tone"), plain)

    # A sanitized bridge reads the server's answer more slowly than the server
    # writes it: the whole text is rendered before a quarter of its words
    # reach the client, and the kill lands after the end.
    @unittest.skipIf(os.environ.get("VRELAY_SANITIZE"), "timed on a bridge at full speed")
    def test_a_text_goes_on_at_the_next_server_when_its_server_is_killed(self):
        """kill -9 of the server speaking a text once a quarter of its words
        have come: the text goes on at the next server, every word once and
        in order, and ends done. With --no-resume it ends failed where it
        was; with every server dead it ends failed within the resume's bound
        of 10 s."""
        # Long numbers: a minute and a half of speech in a request of a few
        # hundred bytes, which the server is still answering at the kill or
        # has just answered (the next one waits for the page to catch up).
        text = "".join("%d. " % (3456789012345 + 1111111 * i) for i in range(24))
        everything = [(m.start(), m.end()) for m in re.finditer(r"\S+", text)]
        # servers: given to vrelay-web, the first one killed at the quarter
        # killed: how many of them
        # within: seconds from the kill to END at most
        rows = [  # name, servers, killed, options, END reason, within
            ("resumed at the next server", 2, 1, [], 0, None),
            # A single server: a second one would take the next request.
            ("--no-resume", 1, 1, ["--no-resume"], 2, 5),
            ("every server dead", 2, 2, [], 2, 20),
        ]
        for name, servers, killed, options, reason, within in rows:
            with self.subTest(name), SpeechServer("--workers", "0") as first, \
                    SpeechServer("--workers", "0") as second:
                speech = [first, second][:servers]
                with WebServer(PROGRAM, "--server", ",".join(s.address for s in speech),
                               *options) as server:
                    ws = WebSocket(server.port, session=token(59_000))
                    self.addCleanup(ws.close_socket)
                    ws.send(speak(text))
                    words, samples, end, killed_at = [], 0, None, None
                    try:
                        while True:
                            kind, fields = decode(ws.receive())
                            if kind == WORD:
                                words.append(fields[1:])
                            elif kind == AUDIO:
                                samples += fields
                                ws.send(played(samples))  # the page keeps up
                            elif kind == END:
                                end = fields
                            if killed_at is None and len(words) == len(everything) // 4:
                                for dying in speech[:killed]:
                                    dying.kill()
                                killed_at = time.monotonic()
                    except Closed as closed:
                        code = closed.code
                    took = time.monotonic() - killed_at
                self.assertEqual((end[0], code), (reason, 1000), end)
                if reason == 0:
                    self.assertEqual(words, everything)
                    self.assertEqual(second.sessions_opened(), 1, "the rest at the second server")
                else:
                    self.assertLess(len(words), len(everything))
                    self.assertEqual(words, everything[:len(words)])
                    self.assertLess(took, within)

    def test_sliders_past_the_voices_reach_are_heard_at_its_end_and_variants_are_reached(self):
        def audio(**kw):
            ws = WebSocket(server.port, session=token(58_000))
            ws.send(speak("The water bottle is on the table.", **kw))
            messages, code, _ = ws.messages()
            ws.close_socket()
            self.assertEqual((decode(messages[-1])[1][0], code), (0, 1000), kw)
            return b"".join(m[1:] for m in messages if m[0] == AUDIO)

        def measure(pcm):
            """(samples, level in dB)"""
            samples = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
            return len(samples), 10 * math.log10(sum(x * x for x in samples) / len(samples))

        with SpeechServer() as speech, WebServer(PROGRAM, "--server", speech.address) as server:
            # Past the reach sounds as at its end (in length and level), not
            # as the voice's own.
            plain = measure(audio())
            for beyond, end in [({"rate": 25}, {"rate": 46}), ({"pitch": -90}, {"pitch": -35}),
                                ({"pitch": 200}, {"pitch": 68}), ({"volume": 200}, {"volume": 199})]:
                with self.subTest(beyond=beyond):
                    far, near = measure(audio(**beyond)), measure(audio(**end))
                    self.assertAlmostEqual(far[0] / near[0], 1, delta=0.01)
                    self.assertAlmostEqual(far[1], near[1], delta=0.3)
                    self.assertTrue(abs(near[0] / plain[0] - 1) > 0.02 or abs(near[1] - plain[1]) > 1)
            # A variant alone, or after a voice, as the page's pickers send it.
            for voice in ("+f3", "English (Scotland)+f3", "+whisper"):
                with self.subTest(voice=voice):
                    self.assertNotEqual(measure(audio(voice=voice)), plain)

    def test_sigterm_ends_the_bridge_at_once_when_the_speech_server_hangs(self):
        with SpeechServer("--engine", "tone", "--max-sessions-per-address", "0") as speech, \
                WebServer(PROGRAM, "--server", speech.address,
                          "--max-sessions-per-address", "100") as server:
            self.assertEqual(tab(server.port, 56_000, voice="tone"), (0, 1000, "done"))
            speech.process.send_signal(signal.SIGSTOP)
            # Twelve tabs ask for another voice: the bridge waits for the
            # server's answer on every connection it has, and the rest wait
            # for a connection.
            tabs = [WebSocket(server.port, session=token(56_001 + i)) for i in range(12)]
            for ws in tabs:
                ws.send(speak("stuck", voice="tone-low"))
            port = int(speech.address.rsplit(":", 1)[1])
            deadline = time.monotonic() + 30
            while waiting_connections(port) < 8 and time.monotonic() < deadline:
                pass
            self.assertGreaterEqual(waiting_connections(port), 8)
            began = time.monotonic()
            server.process.terminate()
            try:
                status = server.process.wait(timeout=10)
            except Exception:
                server.process.kill()
                raise
            took = time.monotonic() - began
            for ws in tabs:
                ws.close_socket()
            print("vrelay-web ended %.2f s after SIGTERM" % took)
            self.assertEqual(status, 0)
            self.assertLess(took, 6)


def waiting_connections(port):
    """Connections to a local port holding bytes their listener has not read."""
    count = 0
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as table:
            for line in list(table)[1:]:
                fields = line.split()
                local, queues = fields[1], fields[4]
                if int(local.rsplit(":", 1)[1], 16) == port and int(queues.split(":")[1], 16) > 0:
                    count += 1
    return count


if __name__ == "__main__":
    unittest.main()
