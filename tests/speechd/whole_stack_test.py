# SPDX-License-Identifier: MIT
"""sd_vrelay under a real Speech Dispatcher, playing into a private PulseAudio.

Speech Dispatcher runs in this test's own session, set up as README.md tells
users to: no AddModule line, so that it finds its modules by itself (this
module, with its embedded server, beside espeak-ng's), and "DefaultModule
vrelay"; its socket is in a temporary folder. Needs SD_VRELAY (the module)
and VRELAY_SAY (for the length of the same text rendered to a file); exits 77
(skipped) without speech-dispatcher, its espeak-ng module, spd-say or
PulseAudio.
"""

import array
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from sound_server import SoundServer  # noqa: E402

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


def wait_for_quiet(recording, rate, seconds=0.5, timeout=30):
    """Waits until the recording ends in seconds of quiet; returns its length.

    The sound server plays what it has buffered after the message's end has
    been reported, and a message before may still be sounding.
    """
    deadline = time.monotonic() + timeout
    while True:
        samples = recorded(recording)
        last = next((i for i in range(len(samples) - 1, -1, -1)
                     if abs(samples[i]) > THRESHOLD), -1)
        if len(samples) - last - 1 >= seconds * rate:
            return len(samples)
        if time.monotonic() > deadline:
            raise TimeoutError("the sink did not fall quiet")
        time.sleep(0.05)  # polling the recording, which grows as it plays


# Where Speech Dispatcher's packages put their modules.
MODULE_FOLDERS = ["/usr/lib/speech-dispatcher-modules", "/usr/libexec/speech-dispatcher-modules",
                  "/usr/lib64/speech-dispatcher-modules"]


def espeak_ng_module():
    """The installed espeak-ng module, or None."""
    return next((path for path in (os.path.join(f, "sd_espeak-ng") for f in MODULE_FOLDERS)
                 if os.access(path, os.X_OK)), None)


class SpeechDispatcher:
    """speech-dispatcher on a socket of its own, finding its modules by
    itself in a folder that holds sd_vrelay beside espeak-ng's module."""

    def __init__(self, folder, env):
        conf = os.path.join(folder, "conf")
        os.makedirs(os.path.join(conf, "modules"))
        shutil.copy(os.path.join(HERE, "..", "..", "speechd", "vrelay.conf"),
                    os.path.join(conf, "modules", "vrelay.conf"))
        modules = os.path.join(folder, "modules")
        os.makedirs(modules)
        os.symlink(os.environ["SD_VRELAY"], os.path.join(modules, "sd_vrelay"))
        os.symlink(espeak_ng_module(), os.path.join(modules, "sd_espeak-ng"))
        with open(os.path.join(conf, "speechd.conf"), "w") as f:
            f.write('AudioOutputMethod "pulse"\n'
                    'DefaultModule vrelay\nDefaultLanguage "en-GB"\n')
        self.socket = os.path.join(folder, "speechd.sock")
        self.env = dict(env, SPEECHD_ADDRESS="unix_socket:" + self.socket)
        self.process = subprocess.Popen(
            ["speech-dispatcher", "-s", "-t", "0", "-C", conf,
             "-m", modules, "-c", "unix_socket",
             "-S", self.socket, "-P", os.path.join(folder, "speechd.pid"),
             "-L", folder], env=self.env, start_new_session=True,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError), self.connect():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)  # waiting for the program to start listening
        self.stop()
        raise RuntimeError("speech-dispatcher did not start")

    def connect(self):
        client = socket.socket(socket.AF_UNIX)
        try:
            client.connect(self.socket)
        except OSError:
            client.close()
            raise
        return client

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


class SsipClient:
    """Commands and notifications over SSIP, a line at a time."""

    def __init__(self, connection):
        self.connection = connection
        self.lines = connection.makefile("rb")

    def reply(self):
        lines = []
        while True:
            line = self.lines.readline().decode("utf-8").rstrip("\r\n")
            if not line:
                raise EOFError("speech-dispatcher closed the connection")
            lines.append(line)
            if len(line) > 3 and line[3] == " ":
                return lines

    def command(self, text):
        self.connection.sendall(text.encode("utf-8") + b"\r\n")
        return self.reply()


class WholeStackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="vrelay-speechd-")
        cls.sound = SoundServer().__enter__()
        try:
            cls.dispatcher = SpeechDispatcher(cls.folder, cls.sound.env())
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
                    start = wait_for_quiet(recording, rate)
                    said = subprocess.run(["spd-say", "-o", "vrelay", "-l", "en-GB", "-w"] +
                                          options + [TEXT], env=self.dispatcher.env, timeout=120)
                    end = wait_for_quiet(recording, rate)
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
