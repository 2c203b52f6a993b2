# SPDX-License-Identifier: MIT
"""The package against the reference server's tone engine."""

import asyncio
import concurrent.futures
import gc
import html
import os
import signal
import struct
import tempfile
import time
import tracemalloc
import unittest
import wave
import warnings

from support import LICENCE, case_table, run_async, server_program, tone_server, within

import vrelay
from vrelay import _decoder, _input, _prosody, _text
from vrelay._voices import voices_speaking

TEXT = "Grüße aus Köln, 世界 and plain words."
# Far more audio than a test waits for: only a stop ends it in time.
ENDLESS = "word " * 700000


def setUpModule() -> None:
    global server
    server = tone_server("--max-request-audio", "86400")


def tearDownModule() -> None:
    server.close()


class ConnectionTest(unittest.TestCase):
    def setUp(self) -> None:
        self.connection = server.connect()
        self.addCleanup(self.connection.close)

    def test_word_marks_point_into_the_text_given(self) -> None:
        gc.collect()  # the package, not the caller, keeps the callback alive
        # Pieces of one request; more than one is a stream.
        for pieces in ([TEXT], ["If a<b and c>d & e;", " &amp; <b>not</b> markup"],
                       ["Grüße aus Kö", "ln, 世界 and", " plain words."]):
            with self.subTest(pieces=pieces):
                text = "".join(pieces)
                if len(pieces) == 1:
                    results = [self.connection.render(text)]
                else:
                    results = [self.connection.push(p) for p in pieces] + [self.connection.flush()]
                self.assertEqual(results[-1].text, text)
                self.assertEqual([w for r in results for w in r.words], text.split())
                encoded = text.encode()
                self.assertEqual([encoded[m.byte_offset:m.byte_offset + m.byte_length].decode()
                                  for r in results for m in r.marks], text.split())
                last = results[-1]
                self.assertEqual([m.time for m in last.marks], sorted(m.time for m in last.marks))
                self.assertGreater(last.sample_rate, 0)
                self.assertTrue(last.audio and len(last.audio) % 2 == 0 and last.phonemes)

    def test_every_way_of_rendering_gives_the_same_audio_and_phonemes(self) -> None:
        result = self.connection.render(TEXT)
        whole = result.audio, result.phonemes

        def collected(events: list) -> tuple:
            self.assertIsInstance(events[-1], vrelay.Done)
            return (b"".join(e.data for e in events if isinstance(e, vrelay.Audio)),
                    [e for e in events if isinstance(e, vrelay.Phoneme)])

        async def asynchronous() -> tuple:
            rendered = await self.connection.arender(TEXT)
            return (rendered.audio, rendered.phonemes), \
                [e async for e in self.connection.astream(TEXT)]

        rendered, streamed = run_async(asynchronous())
        self.assertTrue(whole[1])
        self.assertEqual(collected(list(self.connection.events(TEXT))), whole)
        in_future = self.connection.render_async(TEXT).result(timeout=60)
        self.assertEqual((in_future.audio, in_future.phonemes), whole)
        self.assertEqual(rendered, whole)
        self.assertEqual(collected(streamed), whole)

    def test_leaving_the_events_early_stops_the_request(self) -> None:
        for _ in self.connection.events(ENDLESS):
            break
        self.assertTrue(within(30, lambda: self.connection.render("Still usable.")).audio)

    def test_a_cancel_stops_the_request_and_the_future_says_so(self) -> None:
        stoppers = {"future": lambda future: future.cancel(),
                    "connection": lambda future: self.connection.cancel()}
        for name, stop in stoppers.items():
            with self.subTest(stopped_by=name):
                future = self.connection.render_async(ENDLESS)
                stop(future)
                self.assertTrue(future.cancelled())
                with self.assertRaises(vrelay.Cancelled):
                    future.result(timeout=60)
                with self.assertRaises(concurrent.futures.CancelledError):
                    future.result(timeout=60)
                self.assertTrue(within(30, lambda: self.connection.render("Again.")).audio)
        finished = self.connection.render_async("Short.")
        self.assertTrue(finished.result(timeout=60).audio)
        self.assertFalse(finished.cancel())
        self.assertFalse(finished.cancelled())

    def test_asyncio_renders_run_together_and_a_cancelled_task_stops_its_request(self) -> None:
        other = server.connect()
        self.addCleanup(other.close)

        async def together() -> None:
            ticks = 0
            renders = asyncio.gather(self.connection.arender(TEXT * 200),
                                     other.arender(TEXT * 200))
            while not renders.done():  # the loop goes on while both render
                ticks += 1
                await asyncio.sleep(0)
            first, second = await renders
            self.assertEqual(first.audio, second.audio)
            self.assertGreater(ticks, 10)

        async def cancel_midway(consume: str, after: float) -> None:
            started = asyncio.Event()

            async def stream() -> None:
                async for event in self.connection.astream(ENDLESS):
                    started.set()

            task = asyncio.create_task(stream() if consume == "astream"
                                       else self.connection.arender(ENDLESS))
            if consume == "astream":
                await started.wait()
            else:  # in its launch or in its render: either way it stops
                await asyncio.sleep(after)
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task
            again = await asyncio.wait_for(self.connection.arender("Again."), 30)
            self.assertTrue(again.audio)

        run_async(together())
        for consume, after in (("astream", 0), ("arender", 0), ("arender", 1)):
            with self.subTest(cancelled=consume, after=after):
                run_async(cancel_midway(consume, after))

    def test_bad_arguments_raise_type_and_value_errors(self) -> None:
        c = self.connection
        calls = [(c.render, None, TypeError), (c.render, b"bytes", TypeError),
                 (c.render, "a\0b", ValueError), (c.push, 1, TypeError),
                 (c.render_async, b"x", TypeError), (c.events, None, TypeError),
                 (c.arender, None, TypeError), (c.astream, b"x", TypeError),
                 (c.set_voice, None, TypeError), (c.query, "q\0", ValueError),
                 (vrelay.Connection, b"127.0.0.1", TypeError)]
        for call, argument, error in calls:
            with self.subTest(call=call.__name__, argument=argument):
                with self.assertRaises(error):
                    call(argument)
        self.assertTrue(c.render("Still usable.").audio)

    def test_the_servers_reason_reaches_the_exception(self) -> None:
        with tone_server("--max-sessions", "1") as busy, busy.connect() as first:
            with self.assertRaises(vrelay.ServerError) as refused:
                busy.connect()
            self.assertTrue(first.render("Served.").audio)
        cases = [(refused.exception, "server busy"),
                 (self.raised(lambda: self.connection.set_voice("klingon")),
                  "unknown voice")]
        for error, reason in cases:
            with self.subTest(reason=reason):
                self.assertIsInstance(error, vrelay.ServerError)
                self.assertIn(reason, error.server_message)
                self.assertIn(reason, str(error))
        with self.assertRaises(vrelay.ConnectFailed):
            vrelay.Connection("127.0.0.1", 1)

    def raised(self, call) -> Exception:
        with self.assertRaises(vrelay.VrelayError) as raised:
            call()
        return raised.exception

    def test_the_server_chooses_the_voice_a_name_means(self) -> None:
        # The tone engine's voices: "tone" and "tone-low", both en-gb.
        c = self.connection
        plain = c.render(TEXT).audio
        for wanted, same in (("TONE-LOW", False), ("english", True), ("tone-low", False),
                             ("en-GB", True)):
            with self.subTest(wanted=wanted):
                c.set_voice(wanted)
                self.assertEqual(c.render(TEXT).audio == plain, same)
        with self.assertRaises(vrelay.ServerError):
            c.set_voice("klingon")
        voices = c.voices()
        self.assertEqual([(v.tag, v.languages) for v in voices], [("en-gb", "en-gb:5")] * 2)
        for language, speaking in (("en", 2), ("EN_gb", 2), ("english", 2), ("en-us", 0),
                                   ("e", 0)):
            with self.subTest(language=language):
                self.assertEqual(len(voices_speaking(voices, language)), speaking)

    def test_a_result_saves_as_wav_and_prints_short(self) -> None:
        result = self.connection.render(TEXT * 20)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.wav")
            result.save_wav(path)
            with wave.open(path) as saved:
                self.assertEqual((saved.getframerate(), saved.getnchannels(),
                                  saved.getsampwidth()), (result.sample_rate, 1, 2))
                self.assertEqual(saved.readframes(saved.getnframes()), result.audio)
            with open(path, "rb") as saved_file:
                self.assertEqual(result.wav_bytes(), saved_file.read())
        self.assertLess(len(repr(result)), 100)
        self.assertIn("%d Hz" % result.sample_rate, repr(result))


class ServerFailureTest(unittest.TestCase):
    """A long text whose server is killed (SIGKILL) mid-text, on a connection
    with other servers as its alternates."""

    def setUp(self) -> None:
        with open(LICENCE, encoding="utf-8") as licence:
            self.text = licence.read()

    def farm(self, size: int = 2, engine: str = "tone") -> tuple:
        servers = [vrelay.LocalServer(engine, server_program()) for _ in range(size)]
        for server in servers:
            self.addCleanup(server.close)
        connection = vrelay.Connection(servers[0].host, servers[0].port,
                                       alternates=["127.0.0.1:%d" % s.port for s in servers[1:]])
        self.addCleanup(connection.close)
        return servers, connection

    @staticmethod
    def kill(servers: list, connection: vrelay.Connection, which: str) -> None:
        for server in servers:
            if which == "every" or connection.address.endswith(":%d" % server.port):
                os.kill(server.pid, signal.SIGKILL)
                server.close()  # reaped: its port refuses from now on

    def test_the_text_goes_on_from_the_last_word_on_another_server(self) -> None:
        markup = '<speak><p><prosody rate="x-fast">%s</prosody></p></speak>' % \
            html.escape(self.text, quote=False)
        # How the events are taken, the engine, the text, what is killed,
        # resume, rewind. The tone engine says a word the same wherever a
        # request starts, but knows no prosody; espeak-ng does.
        cases = [("events", "tone", False, "serving", True, False),
                 ("events", "tone", False, "serving", True, True),
                 ("astream", "espeak", True, "serving", True, True),
                 ("events", "tone", False, "serving", False, False),
                 ("events", "tone", False, "every", True, False)]
        for consumer, engine, is_markup, killed, resume, rewind in cases:
            with self.subTest(consumer=consumer, engine=engine, markup=is_markup,
                              killed=killed, resume=resume, rewind=rewind):
                servers, connection = self.farm(3, engine)
                # Chosen again on the next server.
                connection.set_voice("tone-low" if engine == "tone" else "en+f3")
                text = markup if is_markup else self.text
                whole = connection.render(text, is_markup, pitch="+2st")
                words, samples, audio, failure = [], [], bytearray(), None
                kill_at = (len(whole.marks) // 4, len(whole.marks) * 3 // 5)

                def take(event: vrelay.Event) -> None:
                    if isinstance(event, vrelay.Audio):
                        if rewind:
                            del audio[event.first * 2:]
                        audio.extend(event.data)
                    elif isinstance(event, vrelay.Mark) and event.is_word:
                        words.append(event.written)
                        samples.append(event.sample)
                        if len(words) in kill_at:
                            self.kill(servers, connection, killed)
                            self.killed = time.monotonic()

                async def astream() -> None:
                    async for event in connection.astream(text, is_markup, pitch="+2st",
                                                          resume=resume, rewind=rewind):
                        take(event)

                with warnings.catch_warnings(record=True) as notices:
                    warnings.simplefilter("always")
                    try:
                        if consumer == "astream":
                            run_async(astream())
                        else:
                            for event in connection.events(text, is_markup, pitch="+2st",
                                                           resume=resume, rewind=rewind):
                                take(event)
                    except vrelay.VrelayError as error:
                        failure = error
                expected = [m.written for m in whole.marks]
                if killed == "serving" and resume:
                    self.assertIsNone(failure)
                    self.assertEqual(words, expected)
                    self.assertEqual([n.category for n in notices], [vrelay.ResumeWarning] * 2)
                    self.assertIn("speaking on from", str(notices[0].message))
                    self.assertTrue(all(a < b for a, b in zip(samples, samples[1:])))
                    self.assertAlmostEqual(len(audio) / len(whole.audio), 1, delta=0.02)
                    if rewind and engine == "tone":  # every word's audio once, in its voice
                        self.assertEqual(audio, whole.audio)
                else:
                    self.assertIsInstance(failure, vrelay.GeneralError)
                    self.assertEqual(words, expected[:len(words)])
                    self.assertEqual(notices, [])
                    self.assertLess(time.monotonic() - self.killed, 20)

    def test_a_render_whose_server_is_gone_goes_to_another(self) -> None:
        # Killed between renders: the next render fails as it starts.
        for killed, resume in (("serving", True), ("serving", False), ("every", True)):
            with self.subTest(killed=killed, resume=resume):
                servers, connection = self.farm()
                whole = connection.render(self.text)
                self.kill(servers, connection, killed)
                with warnings.catch_warnings(record=True) as notices:
                    warnings.simplefilter("always")
                    if killed == "serving" and resume:
                        self.assertEqual(connection.render(self.text).audio, whole.audio)
                        self.assertIn("speaking on from the start at %s" % connection.address,
                                      str(notices[0].message))
                    else:
                        with self.assertRaises(vrelay.GeneralError) as failed:
                            within(20, lambda: connection.render(self.text, resume=resume))
                        self.assertEqual(failed.exception.result.marks, [])
                        self.assertEqual(notices, [])

    def test_a_word_whose_audio_never_came_comes_after_the_resume_on_its_clock(self) -> None:
        # "one", "two" and "three" came with the audio of the first two only,
        # then the server failed. The rest goes on from "two", whose audio
        # on the new request replaces what came after it: "three" comes once,
        # where the new request's audio has it, before that audio.
        decoder = _decoder.AnswerDecoder()

        def packet(kind: int, payload: bytes) -> list:
            return [(type(e).__name__, getattr(e, "written", None), getattr(e, "sample", None)
                     if isinstance(e, vrelay.Mark) else e.first)
                    for e in decoder.decode(kind, payload, len(payload))]

        def word(char: int, length: int, offset: int) -> list:
            name = "kvtk_%d_%d_%d_%d" % (char, char, length, length)
            return packet(_decoder.MARK, struct.pack(">i", offset) + name.encode() + b"\0")

        text = "one two three"
        decoder.begin_request(_text.build_request(text, False, "")[0])
        self.assertEqual(word(0, 3, 0) + word(4, 3, 100) + word(8, 5, 200), [])
        self.assertEqual(packet(_decoder.AUDIO, bytes(300)),
                         [("Mark", "one", 0), ("Mark", "two", 100), ("Audio", None, 0)])
        self.assertEqual(decoder.resume(_text.build_request(text, False, "", 4)[0], False, True),
                         100)
        self.assertEqual(word(0, 3, 0) + word(4, 5, 30), [])
        self.assertEqual(packet(_decoder.AUDIO, bytes(200)),
                         [("Mark", "three", 130), ("Audio", None, 100)])


class ResultTest(unittest.TestCase):
    def test_collecting_audio_is_linear_and_holds_it_about_once(self) -> None:
        pieces = [vrelay.Audio(bytes(4096)) for _ in range(2400)]

        def best(run) -> float:
            times = []
            for _ in range(5):
                start = time.perf_counter()
                run()
                times.append(time.perf_counter() - start)
            return min(times)

        def collect() -> vrelay.Result:
            result = vrelay.Result()
            for piece in pieces:
                result.add(piece)
            return result

        # One copy of each piece is the least any collecting does; copying
        # all that came before for each piece takes hundreds of times that.
        one_copy = best(lambda: bytearray().join(p.data for p in pieces))
        self.assertLess(best(collect), 50 * one_copy)
        tracemalloc.start()
        try:
            audio = collect().audio
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        self.assertLess(peak, 1.5 * len(audio))

class RulesTest(unittest.TestCase):
    """The front-end core's rules, on the cases its own tests run."""

    def test_typed_prosody_is_read_and_moved_into_reach(self) -> None:
        for quantity, typed, value, notice in case_table("typed", 4):
            with self.subTest(quantity=quantity, typed=typed):
                read = _prosody.read_typed(quantity.decode(), typed.decode())
                self.assertEqual(read, (value.decode(), notice.decode()) if value else None)
        for quantity, forms in case_table("forms", 2):
            self.assertEqual(_prosody.forms(quantity.decode()), forms.decode())

    def test_a_whole_text_goes_in_its_prosody_as_one_request(self) -> None:
        for kind, rate, pitch, volume, text, submitted in case_table("submit", 6):
            with self.subTest(text=text):
                prosody = vrelay.Prosody(rate.decode(), pitch.decode(), volume.decode())
                _, sent = _text.build_request(text.decode(), kind == b"markup", prosody.tag())
                self.assertEqual(sent, submitted)

    def test_input_is_cleaned_as_every_door_cleans_it(self) -> None:
        for kind, data, text, *notices in case_table("clean", 3):
            with self.subTest(data=data):
                cleaned, said = _input.clean(data, kind == b"markup")
                self.assertEqual(cleaned.encode(), text)
                self.assertEqual(said, [n.decode() for n in notices])


if __name__ == "__main__":
    unittest.main()
