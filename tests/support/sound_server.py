# SPDX-License-Identifier: MIT
"""A private PulseAudio sound server with a null sink, for tests that play audio.

The server runs in a runtime folder of its own, needs no hardware, no D-Bus and
no login session, and goes away with the test. Programs started with
``server.env()`` play into the null sink; ``server.record()`` captures what the
sink played from its monitor source.

    with SoundServer() as server:
        with server.record() as recording:
            subprocess.run([...], env=server.env(), check=True)
        samples, rate = recording.samples()
        when = recording.time_of(index)  # when a sample was heard
"""

import array
import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import wave

SINK = "vrelay_null"


class SoundServerError(RuntimeError):
    pass


def end_session(process, timeout=10):
    """Ends a program started with start_new_session=True, and whatever it
    started: SIGTERM to its process group, SIGKILL after timeout seconds."""
    if process.poll() is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


class Recording:
    """What parec recorded while the recording was open: 16-bit mono samples,
    each block stamped with the time.monotonic() at which it arrived."""

    def __init__(self, path, rate):
        self.path = path
        self.rate = rate
        self.data = bytearray()
        self.stamps = []  # (time it arrived, samples recorded up to its end)

    def samples(self):
        """(list of int samples, sample rate) of the recording."""
        count = len(self.data) // 2
        values = array.array("h")
        values.frombytes(bytes(self.data[: count * 2]))
        return list(values), self.rate

    def time_of(self, sample):
        """The time.monotonic() at which the sample reached the recorder."""
        for arrived, recorded in self.stamps:
            if recorded > sample:
                return arrived - (recorded - sample) / self.rate
        raise ValueError("sample %d was not recorded" % sample)

    def wait_for_quiet(self, threshold, seconds=0.5, timeout=30):
        """Waits until the recording ends in seconds without a sample louder
        than threshold; returns its length in samples.

        The sound server plays what it has buffered after a program has
        handed it over, and a sound before may still be playing.
        """
        deadline = time.monotonic() + timeout
        while True:
            samples = self.samples()[0]
            last = next((i for i in range(len(samples) - 1, -1, -1)
                         if abs(samples[i]) > threshold), -1)
            if len(samples) - last - 1 >= seconds * self.rate:
                return len(samples)
            if time.monotonic() > deadline:
                raise TimeoutError("the sink did not fall quiet")
            time.sleep(0.05)  # polling the recording, which grows as it plays

    def _read(self, stream):
        while True:
            block = stream.read1(4096)
            if not block:
                break
            self.data += block
            self.stamps.append((time.monotonic(), len(self.data) // 2))

    def _save(self):
        with wave.open(self.path, "wb") as wav:
            wav.setnchannels(1)
            wav.setsampwidth(2)
            wav.setframerate(self.rate)
            wav.writeframes(bytes(self.data[: len(self.data) // 2 * 2]))


class SoundServer:
    """Starts ``pulseaudio`` with only a null sink and an anonymous socket.

    An idle null sink renders two seconds of silence at a time and does not
    take it back when a stream starts, so every new stream is heard up to two
    seconds late. ``awake=True`` keeps a silent low-latency stream playing, so
    that the sink renders in small steps and starts new streams as promptly
    as a sound card does: for tests that time what is heard."""

    def __init__(self, rate=22050, channels=1, awake=False):
        self.rate = rate
        self.channels = channels
        self.awake = awake
        self.folder = None
        self.process = None
        self.socket = None
        self.keeper = None

    def __enter__(self):
        if shutil.which("pulseaudio") is None or shutil.which("parec") is None:
            raise SoundServerError("pulseaudio and pulseaudio-utils are not installed")
        self.folder = tempfile.mkdtemp(prefix="vrelay-pulse-")
        os.makedirs(os.path.join(self.folder, "pulse"), exist_ok=True)
        self.socket = os.path.join(self.folder, "pulse", "native")
        env = self._base_env()
        command = [
            "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
            "--disable-shm=yes", "--use-pid-file=no", "--log-target=stderr",
            "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket,
            "--load=module-null-sink sink_name=%s rate=%d channels=%d"
            % (SINK, self.rate, self.channels),
            "--load=module-always-sink",
        ]
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                message = self.process.stderr.read().decode(errors="replace")
                self._remove_folder()
                raise SoundServerError("pulseaudio did not start: " + message[-500:])
            probe = subprocess.run(["pactl", "info"], env=self.env(),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if probe.returncode == 0:
                subprocess.run(["pactl", "set-default-sink", SINK], env=self.env(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if self.awake:
                    self._keep_awake()
                return self
            time.sleep(0.05)
        self.__exit__(None, None, None)
        raise SoundServerError("pulseaudio did not answer within 20 s")

    def _keep_awake(self):
        self.keeper = subprocess.Popen(
            ["pacat", "--raw", "--format=s16le", "--rate=%d" % self.rate,
             "--channels=%d" % self.channels, "--latency-msec=20", "/dev/zero"],
            env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Ready once the sink has played out its long idle step.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            sinks = subprocess.run(["pactl", "list", "sinks"], env=self.env(),
                                   capture_output=True, text=True).stdout
            latencies = [int(line.split()[1]) for line in sinks.splitlines()
                         if line.strip().startswith("Latency:")]
            if latencies and max(latencies) < 50000:
                return
            time.sleep(0.05)
        raise SoundServerError("the null sink did not take a short latency")

    def __exit__(self, *exc):
        if self.keeper is not None:
            self.keeper.kill()
            self.keeper.wait()
            self.keeper = None
        if self.process is not None:
            end_session(self.process)
        if self.process is not None and self.process.stderr is not None:
            self.process.stderr.close()
        self._remove_folder()
        return False

    def _remove_folder(self):
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def _base_env(self):
        env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = self.folder
        env["PULSE_RUNTIME_PATH"] = os.path.join(self.folder, "pulse")
        env["HOME"] = self.folder  # keeps the cookie and state out of the user's home
        env.pop("PULSE_SERVER", None)
        return env

    def env(self, base=None):
        """The environment in which a program plays into this server's null sink."""
        env = dict(base if base is not None else os.environ)
        env["XDG_RUNTIME_DIR"] = self.folder
        env["PULSE_SERVER"] = "unix:" + self.socket
        env["PULSE_SINK"] = SINK
        return env

    @contextlib.contextmanager
    def record(self):
        """Records the sink's monitor until the block ends, into a Recording
        (also saved as a WAV file in the server's folder)."""
        recording = Recording(
            os.path.join(self.folder, "recording-%d.wav" % time.monotonic_ns()), self.rate)
        recorder = subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--rate=%d" % self.rate, "--channels=1",
             "--format=s16le", "--raw", "--latency-msec=10"],
            env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader = threading.Thread(target=recording._read, args=(recorder.stdout,))
        reader.start()
        try:
            # The recorder is ready once its stream shows up on the server.
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                out = subprocess.run(["pactl", "list", "short", "source-outputs"],
                                     env=self.env(), capture_output=True, text=True).stdout
                if out.strip():
                    break
                time.sleep(0.02)
            yield recording
        finally:
            recorder.send_signal(signal.SIGINT)
            try:
                recorder.wait(timeout=10)
            except subprocess.TimeoutExpired:
                recorder.kill()
                recorder.wait()
            reader.join()
            recorder.stdout.close()
            recorder.stderr.close()
            recording._save()
