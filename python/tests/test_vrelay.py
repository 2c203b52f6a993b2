"""The Python package against the reference server's tone engine.

VRELAY_SERVER names the server program; by default the newest build in the
source tree is used. The library is found as the package finds it.
"""

import gc
import glob
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import vrelay  # noqa: E402

TEXT = "Grüße aus Köln, 世界 and plain words."


def server_program():
    explicit = os.environ.get("VRELAY_SERVER")
    if explicit:
        return explicit
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    builds = [b for b in glob.glob(os.path.join(source, "build", "*", "server", "vrelay-server"))
              if not os.path.basename(os.path.dirname(os.path.dirname(b))).endswith("san")]
    if not builds:
        raise unittest.SkipTest("no vrelay-server built; set VRELAY_SERVER")
    return max(builds, key=os.path.getmtime)


def setUpModule():
    global server, port
    server = subprocess.Popen([server_program(), "--engine", "tone", "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = server.stdout.readline()  # "listening on ADDR:PORT"
    port = int(line.rsplit(":", 1)[1])


def tearDownModule():
    server.terminate()
    server.wait()


class ConnectionTest(unittest.TestCase):
    def setUp(self):
        self.connection = vrelay.Connection("127.0.0.1", port)
        self.addCleanup(self.connection.close)

    def test_render_marks_point_into_the_python_string(self):
        gc.collect()  # the package, not the caller, keeps the callback alive
        result = self.connection.render(TEXT)
        words = [TEXT[m.char_offset:m.char_end] for m in result.marks]
        self.assertEqual(words, TEXT.split())
        encoded = TEXT.encode()
        self.assertEqual([encoded[m.byte_offset:m.byte_offset + m.byte_length].decode()
                          for m in result.marks], words)
        times = [m.time for m in result.marks]
        self.assertEqual(times, sorted(times))
        self.assertGreater(result.sample_rate, 0)
        self.assertGreater(len(result.audio), 0)
        self.assertEqual(len(result.audio) % 2, 0)
        self.assertTrue(result.phonemes)

    def test_every_way_of_rendering_gives_the_same_audio(self):
        whole = self.connection.render(TEXT)
        streamed = b"".join(e.data for e in self.connection.events(TEXT)
                            if isinstance(e, vrelay.Audio))
        asynchronous = self.connection.render_async(TEXT).result(timeout=60)
        pieces = [self.connection.push(TEXT[:10]), self.connection.push(TEXT[10:]),
                  self.connection.flush()]
        self.assertEqual(streamed, whole.audio)
        self.assertEqual(asynchronous.audio, whole.audio)
        self.assertEqual(sum(len(p.marks) for p in pieces), len(whole.marks))

    def test_events_end_with_done_and_leaving_early_cancels(self):
        kinds = [type(e) for e in self.connection.events("One two.")]
        self.assertEqual(kinds[0], vrelay.AudioFormat)
        self.assertEqual(kinds[-1], vrelay.Done)
        for _ in self.connection.events(TEXT * 20):
            break
        self.assertTrue(self.connection.render("Still usable.").audio)

    def test_cancel_ends_an_async_render(self):
        future = self.connection.render_async(TEXT * 50)
        self.connection.cancel()
        try:
            future.result(timeout=60)  # it may have finished before the cancel
        except vrelay.Cancelled as error:
            self.assertEqual(error.name, "VR_CANCELLED")
        self.assertTrue(self.connection.render("Again.").audio)

    def test_voices_and_errors(self):
        voices = self.connection.voices()
        self.assertTrue(voices)
        self.assertIsInstance(voices[0], vrelay.Voice)
        self.connection.set_voice(voices[0].name)
        with self.assertRaises(vrelay.GeneralError) as raised:
            self.connection.set_voice("no such voice")
        self.assertEqual(raised.exception.name, "VR_ERROR")
        with self.assertRaises(vrelay.ConnectFailed):
            vrelay.Connection("127.0.0.1", 1)


if __name__ == "__main__":
    unittest.main()
