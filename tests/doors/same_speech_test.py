# SPDX-License-Identifier: MIT
"""One table of requests through every door: vrelay-say into a WAV, the
Python package's command line, vrelay-web's socket and sd_vrelay through its
pipes, all against one vrelay-server. Each row's audio is measured (duration,
median pitch, level): every door within 5% of the others in duration and
pitch and within 1 dB in level, and within 10% of what the row asks where it
asks a measurable value. Bad rows give the same exit code through every door
that has one. espeak-ng's own figures are printed beside where its command
line takes the same request.

Environment: VRELAY_SERVER, VRELAY_SAY, VRELAY_WEB, SD_VRELAY (programs),
VRELAY_LIBRARY (for the Python package). A door whose program is not given
is left out, with a line saying so."""

import array
import faulthandler
import io
import math
import operator
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "web"))

import web_client  # noqa: E402

TEXT = "The quick brown fox jumps over the lazy dog, and then it runs home."
PAGE = ("<!DOCTYPE html><html><head><title>t</title><script>var x = 1;</script></head>"
        "<body><!-- note --><p>The quick&nbsp;brown fox jumps over the lazy dog,"
        " and then it runs home.</p></body></html>")


# ---- measuring the audio -------------------------------------------------

class Audio:
    """Mono 16-bit samples with their rate, and what is heard of them."""

    def __init__(self, samples, rate):
        self.samples = samples
        self.rate = rate

    @staticmethod
    def from_wav(data):
        with wave.open(io.BytesIO(data)) as w:
            assert w.getsampwidth() == 2 and w.getnchannels() == 1, "not 16-bit mono"
            return Audio(array.array("h", w.readframes(w.getnframes())), w.getframerate())

    def duration(self):
        return len(self.samples) / self.rate

    def level(self):
        """RMS level of the voiced part, dBFS (None for silence)."""
        loud = [f for f in self._frames() if _energy(f) > 0]
        if not loud:
            return None
        energy = sum(_energy(f) for f in loud) / sum(len(f) for f in loud)
        return 10 * math.log10(energy / 32768.0 ** 2) if energy > 0 else None

    def median_pitch(self):
        """Median fundamental (Hz) over the voiced frames: in each 40 ms
        frame (every 30 ms) of the audio decimated to about 11 kHz, the
        shortest lag whose autocorrelation comes near the best."""
        step = max(1, self.rate // 11025)
        rate = self.rate / step
        low, high = int(rate / 450), int(rate / 55)
        pitches = []
        for frame in self._frames(step, hop=0.03):
            mean = sum(frame) / len(frame)
            frame = [x - mean for x in frame]
            n = len(frame) - high
            head = frame[:n]
            zero = sum(map(operator.mul, head, head))
            if zero < n * 300.0 ** 2:
                continue  # too quiet to be voiced
            c = [sum(map(operator.mul, head, frame[k:k + n])) for k in range(low, high)]
            best = max(c)
            if best < 0.5 * zero:
                continue  # not periodic enough
            k = next((i for i in range(1, len(c) - 1)
                      if c[i] >= 0.85 * best and c[i] >= c[i - 1] and c[i] >= c[i + 1]),
                     c.index(best))
            pitches.append(rate / (low + k))
        return statistics.median(pitches) if len(pitches) >= 5 else None

    def _frames(self, step=1, hop=0.04):
        size = int(0.04 * self.rate)
        for start in range(0, len(self.samples) - size, int(hop * self.rate)):
            yield self.samples[start:start + size:step]


def _energy(frame):
    return sum(map(operator.mul, frame, frame))


# ---- the doors ----------------------------------------------------------

class Request:
    """What a row asks, in each door's own terms: the typed options
    (vrelay-say and the Python command line), the page's sliders and
    Speech Dispatcher's settings. None: the door cannot ask it."""

    def __init__(self, typed=(), sliders={}, settings={}, text=TEXT, page=False):
        self.typed = list(typed)
        self.sliders = dict(sliders) if sliders is not None else None
        self.settings = dict(settings) if settings is not None else None
        self.text = text
        self.page = page


class Outcome:
    def __init__(self, code, audio=None, message=""):
        self.code = code
        self.audio = audio
        self.message = message


class CommandLineDoor:
    """vrelay-say, or the Python package's command line: the same options."""

    def __init__(self, name, command, env=None):
        self.name = name
        self.command = command
        self.env = env

    def run(self, request, server):
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "out.wav")
            args = [*self.command, "--server", server, "-q", "-o", out, *request.typed]
            if request.page:
                page = os.path.join(work, "page.html")
                with open(page, "w") as f:
                    f.write(request.text)
                args += ["-f", page]
            else:
                args.append(request.text)
            done = subprocess.run(args, capture_output=True, text=True, timeout=120, env=self.env)
            if "Traceback" in done.stderr:
                raise AssertionError("%s printed a traceback: %s" % (self.name, done.stderr))
            audio = None
            if done.returncode == 0:
                with open(out, "rb") as f:
                    audio = Audio.from_wav(f.read())
            return Outcome(done.returncode, audio, done.stderr.strip())


class WebDoor:
    """vrelay-web's speaking socket, as the page uses it (audio reported
    played as soon as it arrives)."""

    name = "vrelay-web"

    def __init__(self, port):
        self.port = port

    def run(self, request, server):
        if request.sliders is None or request.page:
            return None
        ws = web_client.WebSocket(self.port, timeout=60)
        ws.send(web_client.speak(request.text, **request.sliders))
        samples, rate, end = array.array("h"), 0, None
        try:
            while True:
                kind, fields = web_client.decode(message := ws.receive())
                if kind == web_client.FORMAT:
                    rate = fields[0]
                elif kind == web_client.AUDIO:
                    samples.frombytes(message[1:1 + 2 * fields])
                    ws.send(web_client.played(len(samples)))
                elif kind == web_client.END:
                    end = fields
        except web_client.Closed:
            pass
        ws.close_socket()
        if end is None or end[0] != 0:
            return Outcome(1, None, end[2] if end else "no end")
        return Outcome(0, Audio(samples, rate))


class SpeechDispatcherDoor:
    """sd_vrelay driven through its pipes as Speech Dispatcher drives it,
    with audio sent back through the pipe (705 AUDIO)."""

    name = "sd_vrelay"

    def __init__(self, program, work, server):
        config = os.path.join(work, "vrelay.conf")
        with open(config, "w") as f:
            f.write("VrelayServer %s\n" % server)
        self.process = subprocess.Popen([program, config], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.send("INIT\n")
        self.until(b"299 ")
        self.send("AUDIO\naudio_output_method=server\n.\n")
        self.until(b"203 ")

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)

    def send(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def until(self, prefix, audio=None):
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise AssertionError("sd_vrelay ended")
            if audio is not None and line.startswith(b"705-AUDIO\0"):
                audio.append(line[len(b"705-AUDIO\0"):-1])
            elif audio is not None and line.startswith(b"705-sample_rate="):
                audio.rate = int(line.split(b"=")[1])
            if line.startswith(prefix):
                return line

    def run(self, request, server):
        if request.settings is None or request.page:
            return None
        settings = {"rate": 0, "pitch": 0, "volume": 0, "voice": "male1",
                    "language": "en", "synthesis_voice": "NULL", **request.settings}
        self.send("SET\n" + "".join("%s=%s\n" % kv for kv in settings.items()) + ".\n")
        answer = self.until(b"")
        if not answer.startswith(b"203 "):
            raise AssertionError("sd_vrelay refused %s: %s" % (settings, answer))
        self.send("SPEAK\n")
        self.until(b"202 ")
        self.send("<speak>%s</speak>\n.\n" % request.text)
        pieces = _Pieces()
        line = self.until(b"70", pieces)
        while not line.startswith((b"702 ", b"703 ", b"704 ")):
            line = self.until(b"70", pieces)
        if not line.startswith(b"702 "):
            return Outcome(1, None, line.decode(errors="replace").strip())
        return Outcome(0, Audio(pieces.samples(), pieces.rate))


class _Pieces(list):
    rate = 0

    def samples(self):
        out = array.array("h")
        for escaped in self:
            data, i = bytearray(), 0
            while i < len(escaped):
                b = escaped[i]
                if b == 0x7D:
                    i += 1
                    b = escaped[i] ^ 0x20
                data.append(b)
                i += 1
            out.frombytes(bytes(data[:len(data) // 2 * 2]))
        return out


def espeak_figures(request):
    """espeak-ng -w's audio for the same request, where its command line
    takes it; None otherwise."""
    if not shutil.which("espeak-ng") or request.page or request.typed_espeak is None:
        return None
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "e.wav")
        subprocess.run(["espeak-ng", "-w", out, *request.typed_espeak, request.text],
                       check=True, capture_output=True, timeout=60)
        with open(out, "rb") as f:
            return Audio.from_wav(f.read())


# ---- the table ----------------------------------------------------------

def sd_log_scale(fraction, low, high):
    """Speech Dispatcher's -100..100 value for a fraction of the voice's own
    value, on the core's log scale from low (-100) to high (100)."""
    end = high if fraction >= 1 else low
    return round(100 * math.log(fraction) / math.log(end)) * (1 if fraction >= 1 else -1)


RATE, PITCH = (0.4571, 4.5714), (0.65, 1.68)

# Speech Dispatcher keeps its settings within -100..100, so a row past an end
# asks the end of it. label, request, espeak-ng's options for the same request (or None), and
# what is measurable: ("duration", ratio to the plain row), ("pitch", ratio),
# ("level", change in dB), ("silent",).
ROWS = [
    ("the server's voice", Request(), [], None),
    ("a language code", Request(["-v", "en"], {"voice": "en"}, {"language": "en"}), ["-v", "en"],
     None),
    ("a language with its region", Request(["-v", "en-us"], {"voice": "en-us"},
                                           {"language": "en-us"}), ["-v", "en-us"], None),
    ("a variant", Request(["-v", "en+f3"], {"voice": "en+f3"}, {"voice": "female3"}),
     ["-v", "en+f3"], ("pitch", 1.9)),
    ("rate at its slowest", Request(["--rate=45.71%"], {"rate": 46},
                                    {"rate": -100}), ["-s", "80"], None),
    ("rate below its slowest", Request(["--rate=10%"], {"rate": 25}, {"rate": -100}), None, None),
    ("rate doubled", Request(["--rate=200%"], {"rate": 200},
                             {"rate": sd_log_scale(2, *RATE)}), ["-s", "350"],
     ("duration", 0.5)),
    ("rate at its fastest", Request(["--rate=400%"], {"rate": 400},
                                    {"rate": sd_log_scale(4, *RATE)}), ["-s", "700"], None),
    ("rate past its fastest", Request(["--rate=900%"], None, {"rate": 100}), None, None),
    ("pitch at its lowest", Request(["--pitch=65%"], {"pitch": -35}, {"pitch": -100}), None,
     ("pitch", 0.65)),
    ("pitch raised a half", Request(["--pitch=+50%"], {"pitch": 50},
                                    {"pitch": sd_log_scale(1.5, *PITCH)}), None,
     ("pitch", 1.5)),
    ("pitch past its highest", Request(["--pitch=+150%"], {"pitch": 150}, {"pitch": 100}), None,
     ("pitch", 1.68)),
    ("volume halved", Request(["--volume=50%"], {"volume": 50}, {"volume": -50}), ["-a", "50"],
     ("level", -6.02)),
    ("volume at its loudest", Request(["--volume=+6dB"], {"volume": 200}, {"volume": 100}),
     ["-a", "200"], ("level", 6.0)),
    ("volume past its loudest", Request(["--volume=300%"], None, {"volume": 100}), None,
     ("level", 6.0)),
    ("volume silent", Request(["--volume=silent"], {"volume": 0}, {"volume": -100}), None,
     ("silent",)),
    ("an HTML page", Request(text=PAGE, page=True), None, None),
]

# label, typed options, the exit code every command-line door gives.
BAD_ROWS = [
    ("an unknown voice", ["-v", "xx-nowhere"], 4),
    ("a rate of no known form", ["--rate=quick"], 2),
    ("a pitch of no known form", ["--pitch=12 parsecs"], 2),
]


class SameSpeechThroughEveryDoor(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.server = web_client.SpeechServer("--engine", "espeak")
        cls.server.__enter__()
        cls.doors, cls.missing = [], []
        say = os.environ.get("VRELAY_SAY")
        if say:
            cls.doors.append(CommandLineDoor("vrelay-say", [say]))
        library = os.environ.get("VRELAY_LIBRARY")
        if library:
            env = dict(os.environ, PYTHONPATH=os.path.join(SOURCE, "python"),
                       PYTHONDONTWRITEBYTECODE="1")
            cls.doors.append(CommandLineDoor("python -m vrelay", [sys.executable, "-m", "vrelay"],
                                             env))
        cls.web = None
        if os.environ.get("VRELAY_WEB"):
            cls.web = web_client.WebServer(os.environ["VRELAY_WEB"], "--server",
                                           cls.server.address)
            cls.web.__enter__()
            cls.doors.append(WebDoor(cls.web.port))
        cls.speechd = None
        if os.environ.get("SD_VRELAY"):
            cls.speechd = SpeechDispatcherDoor(os.environ["SD_VRELAY"], cls.work,
                                               cls.server.address)
            cls.doors.append(cls.speechd)
        for name in ("VRELAY_SAY", "VRELAY_LIBRARY", "VRELAY_WEB", "SD_VRELAY"):
            if not os.environ.get(name):
                print("left out: no %s" % name, file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        if cls.speechd:
            cls.speechd.close()
        if cls.web:
            cls.web.__exit__(None, None, None)
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_every_door_speaks_each_row_alike(self):
        plain = None
        for label, request, espeak, asked in ROWS:
            request.typed_espeak = espeak
            with self.subTest(row=label):
                figures = {}
                for door in self.doors:
                    outcome = door.run(request, self.server.address)
                    if outcome is None:
                        continue
                    self.assertEqual(outcome.code, 0, "%s: %s" % (door.name, outcome.message))
                    a = outcome.audio
                    figures[door.name] = (a.duration(), a.median_pitch(), a.level())
                reference = self._report(label, figures, espeak_figures(request))
                self._assert_alike(label, figures)
                if plain is None:
                    plain = reference
                elif asked:
                    self._assert_asked(label, figures, plain, asked)

    def test_every_door_refuses_a_bad_row_alike(self):
        for label, typed, code in BAD_ROWS:
            with self.subTest(row=label):
                for door in self.doors:
                    if isinstance(door, CommandLineDoor):
                        outcome = door.run(Request(typed), self.server.address)
                        self.assertEqual(outcome.code, code, "%s: %s" % (door.name,
                                                                         outcome.message))
                        self.assertTrue(outcome.message, door.name + " said nothing")
        # The same unknown voice through the socket and the pipes fails too.
        if self.web:
            outcome = WebDoor(self.web.port).run(Request(sliders={"voice": "xx-nowhere"}),
                                                 self.server.address)
            self.assertIn("unknown voice", outcome.message.lower())

    def _report(self, label, figures, espeak):
        def show(f):
            return "%6.2f s %6s Hz %7s dB" % (f[0], "%.0f" % f[1] if f[1] else "-",
                                             "%.1f" % f[2] if f[2] is not None else "-")
        print("\n%s" % label, file=sys.stderr)
        for name, f in figures.items():
            print("  %-18s %s" % (name, show(f)), file=sys.stderr)
        if espeak:
            print("  %-18s %s" % ("espeak-ng -w", show((espeak.duration(), espeak.median_pitch(),
                                                        espeak.level()))), file=sys.stderr)
        return next(iter(figures.values()), None)

    def _assert_alike(self, label, figures):
        for name, (duration, pitch, level) in figures.items():
            d0, p0, l0 = next(iter(figures.values()))
            self.assertAlmostEqual(duration / d0, 1, delta=0.05, msg="%s: %s duration" %
                                   (label, name))
            # Under two seconds (the fastest rates) too few frames are
            # voiced for a stable median.
            if p0 and pitch and d0 >= 2:
                self.assertAlmostEqual(pitch / p0, 1, delta=0.05, msg="%s: %s pitch" %
                                       (label, name))
            self.assertEqual(level is None, l0 is None, "%s: %s silent" % (label, name))
            if level is not None:
                self.assertAlmostEqual(level, l0, delta=1, msg="%s: %s level" % (label, name))

    def _assert_asked(self, label, figures, plain, asked):
        for name, (duration, pitch, level) in figures.items():
            if asked[0] == "duration":
                self.assertAlmostEqual(duration / plain[0], asked[1], delta=0.1 * asked[1],
                                       msg="%s: %s" % (label, name))
            elif asked[0] == "pitch":
                self.assertAlmostEqual(pitch / plain[1], asked[1], delta=0.1 * asked[1],
                                       msg="%s: %s" % (label, name))
            elif asked[0] == "level":
                self.assertAlmostEqual(level - plain[2], asked[1], delta=1,
                                       msg="%s: %s" % (label, name))
            else:
                self.assertIsNone(level, "%s: %s is heard" % (label, name))


if __name__ == "__main__":
    faulthandler.dump_traceback_later(float(os.environ.get("DOORS_DUMP", "1e9")), exit=True)
    unittest.main(verbosity=2)
