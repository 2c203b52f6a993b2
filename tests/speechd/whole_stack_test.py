# SPDX-License-Identifier: MIT
"""sd_vrelay under a real Speech Dispatcher, playing into a private PulseAudio.

Speech Dispatcher runs in this test's own session, set up as README.md tells
users to (see tests/support/speech_dispatcher.py). Needs SD_VRELAY (the module)
and VRELAY_SAY (for the length of the same text rendered to a file); exits 77
(skipped) without speech-dispatcher, its espeak-ng module, spd-say or
PulseAudio.
"""

import array
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from sound_server import SoundServer  # noqa: E402
from speech_dispatcher import SpeechDispatcher, SsipClient, espeak_ng_module  # noqa: E402

TEXT = "The quick brown fox jumps over the lazy dog, and then it runs away."


THRESHOLD = 600


def voiced_seconds(samples, rate):
    """Seconds of 20 ms frames with a sample louder than THRESHOLD: the
    speech, whatever silence a busy machine lets into the playback."""
    frame = rate // 50
    return sum(1 for i in range(0, len(samples), frame)
               if max(map(abs, samples[i:i + frame])) > THRESHOLD) / 50


def voiced_map(samples, rate):
    """One character per 50 ms, '#' where it is loud: to see a failure."""
    step = rate // 20
    return "".join("#" if max(map(abs, samples[i:i + step])) > THRESHOLD else "."
                   for i in range(0, len(samples), step))


def recorded(recording):
    """The samples the recorder has taken so far."""
    return recording.samples()[0]


class WholeStackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="vrelay-speechd-")
        cls.sound = SoundServer().__enter__()
        try:
            cls.dispatcher = SpeechDispatcher(cls.folder, cls.sound.env(), os.environ["SD_VRELAY"])
        except Exception:
            cls.sound.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.dispatcher.stop()
        cls.sound.__exit__(None, None, None)
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_spd_say_plays_speech_of_the_right_length_rate_and_volume(self):
        # spd-say's options against vrelay-say's rendering of the same
        # request; None: nothing may be heard.
        rows = [([], []),
                (["-r", "-100"], ["--rate=80wpm"]),  # the slowest rate reachable
                (["-i", "-100"], None)]
        rate = self.sound.rate
        for options, say_options in rows:
            with self.subTest(options=options):
                with self.sound.record() as recording:
                    start = recording.wait_for_quiet(THRESHOLD)
                    said = subprocess.run(["spd-say", "-o", "vrelay", "-l", "en-GB", "-w"] +
                                          options + [TEXT], env=self.dispatcher.env, timeout=120)
                    end = recording.wait_for_quiet(THRESHOLD)
                self.assertEqual(said.returncode, 0)
                played = recorded(recording)[start:end]
                heard = voiced_seconds(played, rate)
                if say_options is None:
                    self.assertEqual(heard, 0, msg=voiced_map(played, rate))
                    continue
                path = os.path.join(self.folder, "expected.wav")
                subprocess.run([os.environ["VRELAY_SAY"], "-q", "--voice", "en-GB", "-o", path] +
                               say_options + [TEXT], check=True, timeout=120)
                with wave.open(path, "rb") as wav:
                    expected = array.array("h", wav.readframes(wav.getnframes()))
                    expected = voiced_seconds(expected, wav.getframerate())
                self.assertGreater(expected, 2.0)
                # espeak-ng drifts a little from one synthesis to the next, and a
                # busy machine may split a frame of the playback in two.
                self.assertAlmostEqual(heard, expected, delta=0.2 * expected,
                                       msg=voiced_map(played, rate))

    def test_the_other_modules_stay_beside_vrelay_which_is_the_default(self):
        listed = subprocess.run(["spd-say", "-O"], env=self.dispatcher.env, timeout=60,
                                capture_output=True, text=True)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertIn("vrelay", listed.stdout.split())
        self.assertIn("espeak-ng", listed.stdout.split())
        with self.dispatcher.connect() as connection:
            client = SsipClient(connection)
            client.command("SET SELF CLIENT_NAME test:vrelay:default")
            self.assertEqual(client.command("GET OUTPUT_MODULE")[0][4:], "vrelay")
            client.command("QUIT")

    def test_index_marks_reach_an_ssip_client_in_order(self):
        marks = ["first", "second", "third", "fourth"]
        with self.dispatcher.connect() as connection:
            client = SsipClient(connection)
            for command in ["SET SELF CLIENT_NAME test:vrelay:marks",
                            "SET SELF OUTPUT_MODULE vrelay",
                            "SET SELF NOTIFICATION INDEX_MARKS on",
                            "SET SELF NOTIFICATION END on",
                            "SET SELF SSML_MODE on"]:
                self.assertEqual(client.command(command)[-1][0], "2", command)
            self.assertEqual(client.command("SPEAK")[-1][:3], "230")
            words = " ".join('<mark name="%s"/>word %d' % (m, i) for i, m in enumerate(marks))
            self.assertEqual(client.command("<speak>%s.</speak>\r\n." % words)[-1][:3], "225")
            reached = []
            while True:
                event = client.reply()
                if event[-1].startswith("700"):
                    reached.append(event[-2][4:])
                elif event[-1].startswith("702"):
                    break
            client.command("QUIT")
        self.assertEqual(reached, marks)


if __name__ == "__main__":
    missing = [p for p in ("speech-dispatcher", "spd-say", "pulseaudio", "parec")
               if shutil.which(p) is None]
    if espeak_ng_module() is None:
        missing.append("speech-dispatcher-espeak-ng")
    if missing:
        print("skipped: not installed: " + " ".join(missing))
        sys.exit(77)
    unittest.main()
