# SPDX-License-Identifier: MIT
"""python3 -m vrelay, the examples of docs/PYTHON.md and how the package
finds the library, each run as a user runs them: in a process of its own."""

import os
import re
import subprocess
import sys
import tempfile
import unittest
import wave

from support import SOURCE, TESTS, server_program, tone_server

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
                (["--list-voices", "en", "--server", address], "", 0,
                 r"^NAME      LANG   SEX     LANGUAGE  RATE\n"
                 r"tone      en-gb  female  English   16000\n"
                 r"tone-low  en-gb  male    English   16000\n2 voices\n$"),
                (["--list-voices", "zz", "--server", address], "", 3, r"^$"),
                # espeak-ng's hundred variants, one a line when not on a terminal.
                (["--list-voices"], "", 0,
                 r"\nvariants \(LANG\+VARIANT, as en\+f3; f female, m male\):\n"
                 r"(  [^ \n]+( [^ \n]+)?\n){50,}$"),
                (["--server", address, "-o", out], "  \n", 1, r"^$"),
                (["--server", "no-port", "Text."], "", 1, r"^$"),
                (["--bogus", "Text."], "", 1, r"^$"),
                (["--server", "127.0.0.1:1", "Text."], "", 2, r"^$"),
                (["--server", address, "--voice", "klingon", "-o", out, "Text."], "", 3, r"^$"),
                (["--server", address, "-o", os.path.join(folder, "no", "out.wav"), "Text."], "",
                 4, r"^$"),
            ]
            for arguments, stdin, code, stdout in cases:
                with self.subTest(arguments=arguments):
                    done = run(["-m", "vrelay"] + arguments, stdin)
                    self.assertEqual(done.returncode, code, done.stderr)
                    self.assertRegex(done.stdout, stdout)
            with wave.open(out) as saved:
                self.assertEqual(saved.getframerate(), 16000)  # the tone engine's rate
                self.assertGreater(saved.getnframes(), 0)

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
