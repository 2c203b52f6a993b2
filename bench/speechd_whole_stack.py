#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Latency through the whole Speech Dispatcher stack.

A real speech-dispatcher (set up as the whole-stack test sets it up) plays
through a private PulseAudio whose null sink is kept awake; an SSIP client
speaks one SSML sentence with three index marks, alternately through
sd_vrelay (with its embedded server) and espeak-ng's own module. Times SPEAK
to the client's 701 BEGIN notification and SPEAK to the first audible sample
in the sink; prints two rows of the performance report, medians of RUNS.

Usage: bench/speechd_whole_stack.py [BUILD_DIR] [RUNS]   (default: build/release, 15)
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from sound_server import SoundServer  # noqa: E402
from speech_dispatcher import SpeechDispatcher, SsipClient, espeak_ng_module  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 15
MODULE = os.path.join(BUILD, "speechd", "sd_vrelay")
QUIET = 300
SENTENCE = ('<speak><mark name="one"/>The quick brown fox <mark name="two"/>jumps over the '
            'lazy dog <mark name="three"/>near the river.</speak>')


def first_loud(recording, start):
    """The time.monotonic() at which the first loud sample from index start
    reached the recorder, or None."""
    samples = recording.samples()[0]
    for index in range(start, len(samples)):
        if abs(samples[index]) > QUIET:
            return recording.time_of(index)
    return None


def speak_once(client, recording):
    """(seconds to 701 BEGIN, seconds to the first audible sample) of one
    message, counted from its SPEAK; heard out to its end."""
    start_sample = recording.wait_for_quiet(QUIET, seconds=0.3)
    started = time.monotonic()
    client.connection.sendall(b"SPEAK\r\n")
    if not client.reply()[-1].startswith("230"):
        raise RuntimeError("SPEAK refused")
    client.connection.sendall(SENTENCE.encode() + b"\r\n.\r\n")
    begun = None
    marks = []
    while True:
        event = client.reply()[-1]
        if event.startswith("701"):
            begun = time.monotonic()
        elif event.startswith("700"):
            marks.append(event)
        elif event.startswith("702") or event.startswith("703"):
            break
    if begun is None or len(marks) != 3:
        raise RuntimeError("expected BEGIN and three marks, got %d marks" % len(marks))
    deadline = time.monotonic() + 10
    heard = None
    while heard is None and time.monotonic() < deadline:
        heard = first_loud(recording, start_sample)
        if heard is None:
            time.sleep(0.01)  # polling the recording, which grows as it plays
    if heard is None:
        raise RuntimeError("nothing was heard")
    return begun - started, heard - started


def main():
    for program in ("speech-dispatcher", "pulseaudio", "parec"):
        if shutil.which(program) is None:
            sys.exit("%s is not installed" % program)
    if espeak_ng_module() is None:
        sys.exit("speech-dispatcher-espeak-ng is not installed")
    if not os.access(MODULE, os.X_OK):
        sys.exit("%s is not built (cmake --build %s --target sd_vrelay)" % (MODULE, BUILD))
    folder = tempfile.mkdtemp(prefix="vrelay-speechd-bench-")
    times = {(who, what): [] for who in ("vrelay", "espeak-ng") for what in ("begin", "heard")}
    try:
        with SoundServer(awake=True) as sound:
            dispatcher = SpeechDispatcher(folder, sound.env(), MODULE)
            try:
                clients = {}
                for who in ("vrelay", "espeak-ng"):
                    client = SsipClient(dispatcher.connect())
                    for command in ["SET SELF CLIENT_NAME bench:vrelay:" + who,
                                    "SET SELF OUTPUT_MODULE " + who,
                                    "SET SELF LANGUAGE en-GB",
                                    "SET SELF NOTIFICATION ALL on",
                                    "SET SELF SSML_MODE on"]:
                        if not client.command(command)[-1].startswith("2"):
                            raise RuntimeError(command + " refused")
                    clients[who] = client
                with sound.record() as recording:
                    for who, client in clients.items():  # one warm-up message each
                        speak_once(client, recording)
                    for _ in range(RUNS):
                        for who, client in clients.items():
                            begin, heard = speak_once(client, recording)
                            times[who, "begin"].append(begin)
                            times[who, "heard"].append(heard)
                for client in clients.values():
                    client.command("QUIT")
                    client.connection.close()
            finally:
                dispatcher.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    median = {key: statistics.median(values) * 1000 for key, values in times.items()}
    for what, figure, margin in (
            ("begin", "SPEAK to 701 BEGIN", 3),
            ("heard", "SPEAK to the first audible sample in the sink", 5)):
        a, o = median["espeak-ng", what], median["vrelay", what]
        print("| Speech Dispatcher, whole stack (PulseAudio null sink), an SSML sentence with "
              "three index marks: %s (median of %d) | espeak-ng's own module the same way "
              "| %.1f ms | %.1f ms | %+.1f ms | within %d ms of it | %s |"
              % (figure, RUNS, a, o, o - a, margin, "yes" if o - a <= margin else "**no**"))
    if os.environ.get("VRELAY_BENCH_VERBOSE"):
        for key, values in sorted(times.items()):
            print(key, " ".join("%.1f" % (v * 1000) for v in values), file=sys.stderr)


if __name__ == "__main__":
    main()
