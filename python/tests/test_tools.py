# SPDX-License-Identifier: MIT
"""python3 -m vrelay, the examples of docs/PYTHON.md and how the package
finds the library, each run as a user runs them: in a process of its own."""

import array
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import wave

from support import LICENCE, SOURCE, TESTS, server_program, tone_server

import vrelay
import vrelay._library

PACKAGE = os.path.dirname(TESTS)


def setUpModule() -> None:
    global server
    server = tone_server()


def tearDownModule() -> None:
    server.close()


def run(arguments: list, stdin: str = "", cwd: str = SOURCE, **env: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, PYTHONPATH=PACKAGE, VRELAY_SERVER=server_program(), **env)
    return subprocess.run([sys.executable] + arguments, input=stdin, capture_output=True,
                          text=True, cwd=cwd, env=environment, timeout=120)


class CommandLineTest(unittest.TestCase):
    def test_options_and_exit_codes_are_those_of_vrelay_say(self) -> None:
        address = "127.0.0.1:%d" % server.port
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "out.wav")
            # Arguments, standard input, exit code, what standard output holds.
            cases = [
                (["One two, three.", "-o", out, "--marks", "--server", address], "", 0,
                 r"^ +0\.000  One\n +\d+\.\d{3}  two,\n +\d+\.\d{3}  three\.\n$"),
                (["--engine", "tone", "-q", "-o", out], "Read from standard input.", 0, r"^$"),
                (["--server", address, "--rate", "-20%", "--volume", "-6dB", "-o", out, "--",
                  "-dashed text"], "", 0, r"^$"),
                (["--list-voices", "en", "--server", address], "", 0,
                 r"^NAME      LANG   SEX     LANGUAGE  RATE\n"
                 r"tone      en-gb  female  English   16000\n"
                 r"tone-low  en-gb  male    English   16000\n2 voices\n$"),
                (["--list-voices", "zz", "--server", address], "", 4, r"^$"),
                # espeak-ng's hundred variants, one a line when not on a terminal.
                (["--list-voices"], "", 0,
                 r"\nvariants \(LANG\+VARIANT, as en\+f3; f female, m male\):\n"
                 r"(  [^ \n]+( [^ \n]+)?\n){50,}$"),
                (["--server", address, "-o", out], "  \n", 5, r"^$"),
                (["--server", "no-port", "Text."], "", 2, r"^$"),
                (["--server", address + ",", "Text."], "", 2, r"^$"),
                (["--bogus", "Text."], "", 2, r"^$"),
                (["--server", "127.0.0.1:1", "-o", out, "Text."], "", 3, r"^$"),
                (["--server", address, "--voice", "klingon", "-o", out, "Text."], "", 4, r"^$"),
                (["--server", address, "-o", os.path.join(folder, "no", "out.wav"), "Text."], "",
                 6, r"^$"),
            ]
            for arguments, stdin, code, stdout in cases:
                with self.subTest(arguments=arguments):
                    done = run(["-m", "vrelay"] + arguments, stdin)
                    self.assertEqual(done.returncode, code, done.stderr)
                    self.assertRegex(done.stdout, stdout)
                    self.assertNotIn("Traceback", done.stderr)
            with wave.open(out) as saved:
                self.assertEqual(saved.getframerate(), 16000)  # the tone engine's rate
                self.assertGreater(saved.getnframes(), 0)

    def test_a_text_goes_on_when_its_server_dies(self) -> None:
        def frames(path: str) -> int:
            with wave.open(path) as saved:
                return saved.getnframes()

        # Options, which servers are killed at a quarter of the words, the
        # exit code.
        cases = [([], "serving", 0), (["--no-resume"], "serving", 1), ([], "every", 1)]
        with tempfile.TemporaryDirectory() as folder:
            whole, cut = os.path.join(folder, "whole.wav"), os.path.join(folder, "cut.wav")
            for options, killed, code in cases:
                with self.subTest(options=options, killed=killed):
                    servers = [tone_server(), tone_server()]
                    for each in servers:
                        self.addCleanup(each.close)
                    speak = ["-m", "vrelay", "--server", ",".join(
                        "127.0.0.1:%d" % each.port for each in servers), "-f", LICENCE,
                        "--marks"] + options
                    expected = run(speak + ["-o", whole]).stdout.splitlines(keepends=True)
                    marks = []
                    with subprocess.Popen([sys.executable] + speak + ["-o", cut],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          text=True,
                                          env=dict(os.environ, PYTHONPATH=PACKAGE)) as talk:
                        for line in talk.stdout:
                            marks.append(line)
                            if len(marks) == len(expected) // 4:
                                # The first server serves until it fails.
                                for each in servers[:1 if killed == "serving" else 2]:
                                    os.kill(each.pid, signal.SIGKILL)
                                    each.close()
                                killed_at = time.monotonic()
                        notices = talk.stderr.read()
                    self.assertEqual(talk.wait(60), code, notices)
                    self.assertNotIn("Traceback", notices)
                    if code == 0:
                        self.assertEqual(notices.count("speaking on from"), 1, notices)
                        self.assertEqual(marks, expected)
                        self.assertAlmostEqual(frames(cut) / frames(whole), 1, delta=0.02)
                    else:
                        self.assertNotIn("speaking on from", notices)
                        self.assertEqual(marks, expected[:len(marks)])
                        self.assertLess(frames(cut), frames(whole))
                        self.assertLess(time.monotonic() - killed_at, 20)

    def test_without_a_file_it_plays_what_the_file_would_hold_until_interrupted(self) -> None:
        sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
        from sound_server import SoundServer, SoundServerError
        speak = ["-m", "vrelay", "-q", "--engine", "tone", "--rate", "x-fast", "--volume", "-6dB"]

        def span(samples: list) -> tuple:
            loud = [i for i, v in enumerate(samples) if abs(v) > 300] or [0]
            return loud[0], loud[-1]

        def measure(samples: list, rate: int) -> tuple:
            """Seconds from the first sound to the last, and their level in dB."""
            first, last = span(samples)
            power = sum(v * v for v in samples[first:last + 1]) / (last + 1 - first) / 2.0 ** 30
            return (last - first) / rate, 10 * math.log10(power or 1e-12)

        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "out.wav")
            self.assertEqual(run(speak + ["-o", out, "alpha bravo charlie delta"]).returncode, 0)
            with wave.open(out) as saved:
                written = array.array("h", saved.readframes(saved.getnframes()))
                rate = saved.getframerate()
        try:
            sound = SoundServer(rate=rate, awake=True).__enter__()
        except SoundServerError as error:
            self.skipTest(str(error))
        try:
            with sound.record() as recording:
                done = run(speak + ["alpha bravo charlie delta"], **sound.env({}))
            self.assertEqual(done.returncode, 0, done.stderr)
            # Ctrl-C stops the sound at once, as it does vrelay-say's.
            with sound.record() as stopped:
                talk = subprocess.Popen(
                    [sys.executable] + speak + ["alpha " * 300], stderr=subprocess.DEVNULL,
                    env=dict(os.environ, PYTHONPATH=PACKAGE, VRELAY_SERVER=server_program(),
                             **sound.env({})))
                deadline = time.monotonic() + 60
                while span(stopped.samples()[0])[1] == 0 and time.monotonic() < deadline:
                    time.sleep(0.01)
                interrupted = time.monotonic()
                talk.send_signal(signal.SIGINT)
                self.assertEqual(talk.wait(60), -signal.SIGINT)
                time.sleep(0.5)  # what still plays reaches the recording
        finally:
            sound.__exit__(None, None, None)
        (heard_seconds, heard_level), (seconds, level) = \
            measure(*recording.samples()), measure(list(written), rate)
        self.assertAlmostEqual(heard_seconds / seconds, 1, delta=0.05)
        self.assertAlmostEqual(heard_level, level, delta=1)
        self.assertLess(stopped.time_of(span(stopped.samples()[0])[1]) - interrupted, 0.15)

    def test_the_examples_of_the_docs_run(self) -> None:
        with open(os.path.join(SOURCE, "docs", "PYTHON.md"), encoding="utf-8") as page:
            examples = re.findall(r"```python\n(.*?)```", page.read(), re.S)
        self.assertGreaterEqual(len(examples), 5)
        with tempfile.TemporaryDirectory() as folder:
            for number, example in enumerate(examples, 1):
                with self.subTest(example=number):
                    done = run(["-c", example.replace("5555", str(server.port))], cwd=folder)
                    self.assertEqual(done.returncode, 0, done.stderr)


class LibraryTest(unittest.TestCase):
    def test_the_library_named_in_the_environment_is_the_one_used(self) -> None:
        probe = "import vrelay, vrelay._library as l; vrelay.Connection('127.0.0.1', %d)" \
                "; print(l.loaded_path())" % server.port
        real = os.path.realpath(vrelay._library.loaded_path() or "")
        done = run(["-c", probe], VRELAY_LIBRARY=real)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.strip(), real)
        done = run(["-c", probe], VRELAY_LIBRARY="/nonexistent/libvrelay_shared.so.0")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("VRELAY_LIBRARY", done.stderr)

    def test_the_version_is_the_librarys(self) -> None:
        with open(os.path.join(SOURCE, "include", "vrelay", "vrelay.h"), encoding="utf-8") as h:
            version = re.search(r'#define VRELAY_VERSION_STRING "(.*)"', h.read())
        self.assertIsNotNone(version)
        self.assertEqual(vrelay.__version__, version.group(1) if version else None)


if __name__ == "__main__":
    unittest.main()
