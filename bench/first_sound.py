#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""How soon speech is heard through a sound server.

vrelay-say beside espeak-ng, each speaking the same text into the same sink (a
private PulseAudio with a null sink, its monitor recorded): the time from the
start of the program to the first audible sample, for a 10-word sentence and a
2000-word text. Then live input: a line piped into a running
`vrelay-say --stream`, from the moment it is written to its first audible
sample, and with `-o -` to its first audio written. Each figure is the best of
RUNS runs; prints the rows of the performance report.

Usage: bench/first_sound.py [BUILD_DIR] [RUNS]   (default: build/release, 5)
"""

import os
import select
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from sound_server import SoundServer  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
SAY = os.path.join(BUILD, "tools", "vrelay-say")
QUIET = 300
SENTENCE = "The quick brown fox jumps over the lazy dog near the river."
with open("/usr/share/common-licenses/GPL-3") as licence:
    LONG = " ".join(licence.read().split()[:2000])


def first_sound(recording, after):
    """When the first audible sample recorded after the time `after` arrived."""
    samples, _ = recording.samples()
    for index, value in enumerate(samples):
        if abs(value) > QUIET and recording.time_of(index) >= after:
            return recording.time_of(index)
    return None


def heard_after_start(sound, command):
    """Seconds from starting command to its first audible sample."""
    with sound.record() as recording:
        time.sleep(0.2)
        started = time.monotonic()
        program = subprocess.Popen(command, env=sound.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        deadline = started + 20
        while time.monotonic() < deadline and first_sound(recording, started) is None:
            time.sleep(0.01)
        program.send_signal(signal.SIGINT)
        try:
            program.wait(timeout=5)
        except subprocess.TimeoutExpired:
            program.kill()  # a program started with SIGINT ignored
            program.wait()
        time.sleep(0.1)
    heard = first_sound(recording, started)
    return heard - started if heard is not None else float("inf")


def live_line(sound, written):
    """Seconds from writing a line into a running `vrelay-say --stream` to
    its first audible sample, or with written=True to its first audio on
    standard output (-o -)."""
    command = [SAY, "-q", "--stream"] + (["-o", "-"] if written else [])
    program = subprocess.Popen(command, env=sound.env(), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE if written else subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        with sound.record() as recording:
            # The first line starts the program's server and sound stream.
            program.stdin.write(b"Ready.\n")
            program.stdin.flush()
            if written:
                os.read(program.stdout.fileno(), 65536)
            time.sleep(1.5)
            if written:
                while select.select([program.stdout], [], [], 0.2)[0]:
                    os.read(program.stdout.fileno(), 65536)
            started = time.monotonic()
            program.stdin.write(b"Here is the second line.\n")
            program.stdin.flush()
            if written:
                select.select([program.stdout], [], [], 10)
                return time.monotonic() - started
            deadline = started + 10
            while time.monotonic() < deadline and first_sound(recording, started) is None:
                time.sleep(0.005)
            heard = first_sound(recording, started)
            return heard - started if heard is not None else float("inf")
    finally:
        program.stdin.close()
        program.kill()
        program.wait()


def ms(seconds):
    return "%.0f ms" % (seconds * 1000)


def main():
    # A shell's background job starts with SIGINT ignored, and its children
    # would inherit that: they get the default again.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rows = []
    with SoundServer(awake=True) as sound:
        # The sentence is held to 5 ms of espeak-ng; the long text, whose first
        # unit is longer, to 20 ms.
        for name, text, bound in (("10-word sentence", SENTENCE, 0.005),
                                  ("2000-word text", LONG, 0.020)):
            ours, theirs = [], []
            for _ in range(RUNS):
                ours.append(heard_after_start(sound, [SAY, "-q", text]))
                theirs.append(heard_after_start(sound, ["espeak-ng", text]))
            ours, theirs = min(ours), min(theirs)
            rows.append("| time to first audible sample through PulseAudio, %s | espeak-ng "
                        "speaking it to the same sink | %s | %s | %+.0f ms | within %s of "
                        "espeak-ng | %s |" % (name, ms(theirs), ms(ours), (ours - theirs) * 1000,
                                              ms(bound),
                                              "yes" if ours <= theirs + bound else "**no**"))
        for written in (False, True):
            best = min(live_line(sound, written) for _ in range(RUNS))
            rows.append("| live input: a line piped into `vrelay-say --stream%s`, from its "
                        "arrival to its first %s | - | - | %s | - | within 150 ms | %s |"
                        % (" -o -" if written else "",
                           "audio written" if written else "audible sample", ms(best),
                           "yes" if best <= 0.150 else "**no**"))
    print("\n".join(rows))


if __name__ == "__main__":
    main()
