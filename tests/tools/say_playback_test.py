# SPDX-License-Identifier: MIT
"""vrelay-say playing through a real sound server: a private PulseAudio with a
null sink, whose monitor is recorded. What is heard is compared with the WAV
file of the same text, and the words shown with the sound they belong to."""

import math
import os
import pty
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from sound_server import SoundServer  # noqa: E402

SAY = os.environ.get("VRELAY_SAY", "vrelay-say")
SENTENCE = "The quick brown fox jumps over the lazy dog, and then it runs away into the forest."
# Ten words of the tone engine: 0.1 s of tone each, then 20 ms of silence.
WORDS = "alpha bravo charlie delta echo foxtrot golf hotel india juliet".split()
QUIET = 300


def sound_span(samples):
    """Index of the first and the last sample above the quiet level."""
    loud = [i for i, v in enumerate(samples) if abs(v) > QUIET]
    return (loud[0], loud[-1]) if loud else (0, 0)


def loudness(samples):
    """RMS over the sound, in dB of full scale."""
    first, last = sound_span(samples)
    part = samples[first:last + 1]
    return 10 * math.log10(sum(v * v for v in part) / len(part) / 32768.0 ** 2)


def onsets(samples, rate):
    """Where each tone starts: sound after at least 10 ms of quiet."""
    found, quiet = [], rate
    for i, v in enumerate(samples):
        if abs(v) > QUIET:
            if quiet >= rate // 100:
                found.append(i)
            quiet = 0
        else:
            quiet += 1
    return found


def read_wav(path):
    with wave.open(path, "rb") as wav:
        data = wav.readframes(wav.getnframes())
        rate = wav.getframerate()
    import array
    values = array.array("h")
    values.frombytes(data[: len(data) // 2 * 2])
    return list(values), rate


class StampedReader(threading.Thread):
    """Reads a descriptor to its end, noting when each byte arrived."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd = fd
        self.text = b""
        self.stamps = []  # (time, length of text after the block)

    def run(self):
        while True:
            try:
                block = os.read(self.fd, 4096)
            except OSError:  # a terminal whose other end closed
                break
            if not block:
                break
            self.text += block
            self.stamps.append((time.monotonic(), len(self.text)))

    def time_of(self, offset):
        """When the byte at offset arrived."""
        return next(t for t, length in self.stamps if length > offset)


class Playback(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sound = SoundServer(awake=True)
        cls.sound.__enter__()
        cls.folder = tempfile.mkdtemp(prefix="vrelay-playback-")

    @classmethod
    def tearDownClass(cls):
        cls.sound.__exit__(None, None, None)
        subprocess.run(["rm", "-rf", cls.folder], check=False)

    def say(self, *arguments, **options):
        return subprocess.Popen([SAY, "-q"] + list(arguments), env=self.sound.env(), **options)

    def test_what_is_heard_is_the_file_of_the_same_text(self):
        path = os.path.join(self.folder, "sentence.wav")
        subprocess.run([SAY, "-q", "-o", path, SENTENCE], check=True)
        written, rate = read_wav(path)
        with self.sound.record() as recording:
            self.assertEqual(self.say(SENTENCE).wait(), 0)
        heard, heard_rate = recording.samples()
        self.assertEqual(heard_rate, rate)
        length = sound_span(written)[1] - sound_span(written)[0]
        heard_length = sound_span(heard)[1] - sound_span(heard)[0]
        self.assertAlmostEqual(heard_length / length, 1, delta=0.05)
        self.assertAlmostEqual(loudness(heard), loudness(written), delta=1)

    def test_each_word_shows_as_it_is_heard(self):
        for terminal in (False, True):
            with self.subTest(terminal=terminal):
                # A busy machine (this test's own threads included) makes a
                # word late now and then; a fault (words shown by the clock
                # instead of the sound, or a word behind) moves most of them.
                late = self.lateness(terminal)
                if not self.in_step(late):
                    late = self.lateness(terminal)
                self.assertTrue(self.in_step(late), late)

    @staticmethod
    def in_step(late):
        """Words shown with their sound: the median within 60 ms, the worst
        (a frame drawn late) within 250 ms."""
        off = sorted(abs(x) for x in late)
        return off[len(off) // 2] < 0.06 and off[-1] < 0.25

    def lateness(self, terminal):
        """How late each word showed after its sound started, in seconds."""
        if terminal:
            reading, writing = pty.openpty()
        else:
            reading, writing = os.pipe()
        with self.sound.record() as recording:
            say = self.say("--engine", "tone", "--follow", " ".join(WORDS),
                           stdout=writing, stderr=subprocess.DEVNULL)
            os.close(writing)
            reader = StampedReader(reading)
            reader.start()
            status = say.wait()
            reader.join(10)
            os.close(reading)
        self.assertEqual(status, 0)
        heard, rate = recording.samples()
        starts = [recording.time_of(i) for i in onsets(heard, rate)]
        shown = self.shown(reader, terminal)
        self.assertEqual([word for word, _ in shown], WORDS, reader.text)
        self.assertEqual(len(starts), len(WORDS))
        return [when - start for (_, when), start in zip(shown, starts)]

    @staticmethod
    def shown(reader, terminal):
        """(word, when it showed) for each word: its timed line, or on a
        terminal the first time it is highlighted."""
        text = reader.text.decode()
        found = []
        if not terminal:
            at = 0
            for line in text.splitlines(keepends=True):
                found.append((line.split()[1], reader.time_of(len(line.encode()) + at - 1)))
                at += len(line.encode())
            return found
        at = text.find("\x1b[7m")
        while at >= 0:
            end = text.find("\x1b[27m", at)
            word = text[at + 4:end]
            if not found or found[-1][0] != word:
                found.append((word, reader.time_of(len(text[:end].encode()))))
            at = text.find("\x1b[7m", end)
        return found

    def test_interrupt_stops_the_sound_at_once(self):
        with self.sound.record() as recording:
            say = self.say(" ".join([SENTENCE] * 20))
            deadline = time.monotonic() + 20
            while sound_span(recording.samples()[0])[1] == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.5)
            interrupted = time.monotonic()
            say.send_signal(signal.SIGINT)
            self.assertEqual(say.wait(), -signal.SIGINT)
            time.sleep(0.5)
        heard, _ = recording.samples()
        last = recording.time_of(sound_span(heard)[1])
        self.assertLess(last - interrupted, 0.15)


if __name__ == "__main__":
    unittest.main()
