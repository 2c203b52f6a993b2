#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A long text survives its server dying: three vrelay-servers behind HAProxy
on loopback (scripts/farm.py: the configuration of contrib/haproxy/vrelay.cfg
with free ports), and vrelay-say speaking the GPL-3 (LICENSES/) through
HAProxy into a WAV file with --marks.

First an uninterrupted run. Then the same text while the server serving it
is killed (SIGKILL) when about 25% of the words have arrived, and the one
serving it then when about 60% have. Checked:
  - exit 0 and exactly one notice ("speaking on from") per kill;
  - the words of --marks are those of the uninterrupted run, in order, and
    their times strictly increase;
  - the WAV lasts within 2% of the uninterrupted one;
  - no seam: within 2 s of each resume point no quiet stretch is longer
    than the uninterrupted text's longest pause, and no sample is clipped.
The same kills for `python -m vrelay` (the Python package resumes on its
own) on a farm of its own, checked the same way against vrelay-say's
uninterrupted run.
Then the failures, each of which must end with an error (non-zero exit)
within a bound, without looping: the farm's last server killed mid-text
(every server dead), a closed port, a server that closes every connection
at once, and one that cuts every connection when the text arrives.
The figure: the time from each kill to the next word (wall clock, from the
kill to the first --marks line after the notice). The results go as a
markdown section to --report; --row prints the figure as a row of the
performance report (bench/run.sh) and the section on standard error.

Usage: scripts/resume_test.py [--build DIR] [--report FILE] [--row]
"""
import argparse
import os
import re
import select
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import wave
from array import array

from farm import ROOT, Farm, FarmError, number, print_report

TEXT = os.path.join(ROOT, "LICENSES/GPL-3.0-or-later.txt")
SENTENCE = "A server that fails every attempt must not keep this sentence waiting."
KILLS = (0.25, 0.60)       # fractions of the words at which the serving server dies
RUN_BOUND_S = 120.0        # a whole run of the text, on a loaded machine
FAIL_BOUND_S = 30.0        # a failed text ends with its error this soon
# Connections to a server failing every one: a few tries (the client library
# may connect twice for one), where a loop would make hundreds.
MAX_CONNECTIONS = 20
DURATION_TOLERANCE = 0.02
SEAM_WINDOW_S = 2.0
RESUME_TARGET_S = 1.0     # the bench figure's target: a kill costs at most a second
NOTICE = "speaking on from"
TEXT_FRAMES = (1, 15)      # the client frames carrying a request's text
# A sample is quiet when its high byte is 0x00 or 0xff: -256 <= s < 256,
# below -42 dBFS. Runs of such high bytes are found with one regular
# expression over the high bytes, fast enough for half an hour of audio.
QUIET_HIGH_BYTES = re.compile(rb"[\x00\xff]+")


class Run:
    """One vrelay-say: what it printed on each stream and when (monotonic)."""

    def __init__(self):
        self.started = self.ended = 0.0
        self.returncode = None
        self.timed_out = False
        self.marks = []     # (arrival, seconds, word)
        self.notices = []   # (arrival, line, marks that had arrived before it)
        self.errors = []    # the other lines on standard error
        self.kills = []     # (time, server name)

    def words(self):
        return [word for _, _, word in self.marks]

    def words_after_kills(self):
        """Seconds from each kill to the first word after the notice that
        followed it (None where none came)."""
        delays = []
        for (killed, _), (_, _, before) in zip(self.kills, self.notices):
            delays.append(self.marks[before][0] - killed if before < len(self.marks) else None)
        return delays


def speak(say, addresses, output, text, bound, kills=(), env=None):
    """Runs SAY (vrelay-say's command, or another door's with the same
    options) into OUTPUT, for at most BOUND seconds; what it printed
    goes to OUTPUT.log too, with the kills. kills: (word count, function)
    pairs: when that many words have arrived, the function kills servers and
    returns their names (None: none to kill yet, tried again at the next
    word)."""
    command = [*say, "--server", ",".join(addresses), "--marks", "-o", output]
    command += ["--plain", "-f", text] if os.path.isfile(text) else [text]
    run = Run()
    pending = list(kills)
    run.started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    selector = selectors.DefaultSelector()
    selector.register(process.stderr, selectors.EVENT_READ, "stderr")
    selector.register(process.stdout, selectors.EVENT_READ, "stdout")
    partial = {"stdout": b"", "stderr": b""}
    log = open(output + ".log", "w")
    while selector.get_map():
        remaining = run.started + bound - time.monotonic()
        if remaining <= 0:
            run.timed_out = True
            process.kill()
            break
        # Standard error first: a notice comes before the words after it.
        for key, _ in sorted(selector.select(remaining), key=lambda e: e[0].data != "stderr"):
            data = os.read(key.fileobj.fileno(), 65536)
            if not data:
                selector.unregister(key.fileobj)
                continue
            now = time.monotonic()
            *lines, partial[key.data] = (partial[key.data] + data).split(b"\n")
            for line in (l.decode(errors="replace") for l in lines):
                log.write("%.3f %s %s\n" % (now - run.started, key.data, line))
                if key.data == "stderr":
                    if NOTICE in line:
                        run.notices.append((now, line, len(run.marks)))
                    elif line.strip():
                        run.errors.append(line)
                    continue
                seconds, _, word = line.strip().partition("  ")
                try:
                    run.marks.append((now, float(seconds), word))
                except ValueError:
                    run.errors.append("not a mark on standard output: " + line)
                    continue
                if pending and len(run.marks) >= pending[0][0]:
                    victims = pending[0][1]()
                    if victims:
                        run.kills.append((time.monotonic(), victims))
                        log.write("%.3f killed %s\n" % (run.kills[-1][0] - run.started, victims))
                        pending.pop(0)
    run.returncode = process.wait()
    run.ended = time.monotonic()
    log.write("%.3f exit %d\n" % (run.ended - run.started, run.returncode))
    log.close()
    return run


def kill_serving(farm):
    """Kills the live server HAProxy has a session on: its name, or None."""
    stats = farm.stats()
    busy = [name for name, row in stats.items()
            if farm.servers[name].alive() and number(row, "scur") > 0]
    if busy:
        farm.kill(busy[0])
    return busy[0] if busy else None


def kill_all(farm):
    """Kills every live server: their names."""
    names = [name for name, server in farm.servers.items() if server.alive()]
    for name in names:
        farm.kill(name)
    return ", ".join(names)


class Audio:
    """A mono 16-bit WAV file's samples."""

    def __init__(self, path):
        with wave.open(path) as w:
            if w.getsampwidth() != 2 or w.getnchannels() != 1:
                raise ValueError("%s is not mono 16-bit" % path)
            self.rate = w.getframerate()
            self.data = w.readframes(w.getnframes())

    def duration(self):
        return len(self.data) / 2 / self.rate

    def quiet_runs(self, start_s=0.0, end_s=None):
        """(start, end) in seconds of each quiet stretch between the times."""
        first = max(0, int(start_s * self.rate))
        last = len(self.data) // 2 if end_s is None else min(len(self.data) // 2,
                                                             int(end_s * self.rate))
        high = self.data[2 * first + 1:2 * last:2]
        return [((first + m.start()) / self.rate, (first + m.end()) / self.rate)
                for m in QUIET_HIGH_BYTES.finditer(high)]

    def longest_pause(self):
        """The longest quiet stretch that neither starts nor ends the audio."""
        end = self.duration()
        return max((b - a for a, b in self.quiet_runs() if a > 0 and b < end), default=0.0)

    def clipped(self, start_s, end_s):
        samples = array("h", self.data[2 * int(start_s * self.rate):2 * int(end_s * self.rate)])
        if sys.byteorder != "little":
            samples.byteswap()
        return sum(1 for s in samples if abs(s) >= 32767)


class FailingServer(threading.Thread):
    """A server that fails every connection: with upstream None it accepts,
    reads what comes and closes at once; with an upstream (host, port) it
    relays to that server until the client's text arrives, then cuts the
    connection (a server dying on every request). Counts the connections."""

    def __init__(self, upstream=None):
        super().__init__(daemon=True)
        self.upstream = upstream
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections = 0

    def run(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            self.connections += 1
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with client:
            client.settimeout(FAIL_BOUND_S)
            if self.upstream is None:
                try:
                    client.recv(65536)
                except OSError:
                    pass
                return
            with socket.create_connection(self.upstream) as server:
                self._relay_until_text(client, server)

    @staticmethod
    def _relay_until_text(client, server):
        pending = b""  # the client's bytes of a frame not yet complete
        sockets = [client, server]
        while True:
            readable, _, _ = select.select(sockets, [], [], FAIL_BOUND_S)
            if not readable:
                return
            for s in readable:
                data = s.recv(65536)
                if not data:
                    return
                if s is server:
                    client.sendall(data)
                    continue
                pending += data
                # Frames: type (2), stream (4), length (4), payload, length (4).
                while len(pending) >= 10:
                    kind, _, length = struct.unpack(">HiI", pending[:10])
                    if kind in TEXT_FRAMES:
                        return
                    if len(pending) < 14 + length:
                        break
                    server.sendall(pending[:14 + length])
                    pending = pending[14 + length:]

    def close(self):
        self.listener.close()


def seconds(value):
    return "%.2f s" % value if value is not None else "none"


def check_resumed(plain, resumed, plain_audio, resumed_audio):
    """The problems of the interrupted run against the uninterrupted one, and
    the seams' figures: (problems, [(resume point, longest quiet, clipped)])."""
    problems = []
    if resumed.returncode != 0:
        problems.append("exit %s (%s)" % (resumed.returncode, " / ".join(resumed.errors[-2:])))
    if len(resumed.kills) != len(KILLS):
        problems.append("%d of %d kills (no server had a session)"
                        % (len(resumed.kills), len(KILLS)))
    if len(resumed.notices) != len(resumed.kills):
        problems.append("%d notices for %d kills" % (len(resumed.notices), len(resumed.kills)))
    words, expected = resumed.words(), plain.words()
    if words != expected:
        differ = next((i for i, (a, b) in enumerate(zip(words, expected)) if a != b),
                      min(len(words), len(expected)))
        around = slice(max(0, differ - 3), differ + 3)
        problems.append("the words differ from word %d on (%d words, %d expected): "
                        "\"%s\" where \"%s\" was expected"
                        % (differ, len(words), len(expected), " ".join(words[around]),
                           " ".join(expected[around])))
    times = [t for _, t, _ in resumed.marks]
    backwards = [i for i in range(1, len(times)) if times[i] <= times[i - 1]]
    if backwards:
        problems.append("%d marks not after the one before (first: word %d at %.3f s)"
                        % (len(backwards), backwards[0], times[backwards[0]]))
    if resumed_audio is None:
        problems.append("no readable WAV")
        return problems, []
    duration, expected_duration = resumed_audio.duration(), plain_audio.duration()
    if abs(duration - expected_duration) > DURATION_TOLERANCE * expected_duration:
        problems.append("%.2f s of audio, %.2f s uninterrupted" % (duration, expected_duration))
    longest_pause = plain_audio.longest_pause()
    seams = []
    for _, _, before in resumed.notices:
        if before >= len(resumed.marks):
            continue
        point = resumed.marks[before][1]
        quiet = max((b - a for a, b in resumed_audio.quiet_runs(point - SEAM_WINDOW_S,
                                                               point + SEAM_WINDOW_S)),
                    default=0.0)
        clipped = resumed_audio.clipped(point - SEAM_WINDOW_S, point + SEAM_WINDOW_S)
        seams.append((point, quiet, clipped))
        if quiet > longest_pause:
            problems.append("a seam at %.2f s: %.3f s quiet, longer than the longest pause "
                            "(%.3f s)" % (point, quiet, longest_pause))
        if clipped:
            problems.append("a seam at %.2f s: %d clipped samples" % (point, clipped))
    return problems, seams


def read_audio(path):
    try:
        return Audio(path)
    except (OSError, EOFError, ValueError, wave.Error):
        return None


def check_failure(run, started, audio):
    """The problems of a run that must fail: an error, soon, no hang, and the
    audio of the words delivered kept."""
    problems = []
    if run.timed_out:
        problems.append("still running after %.0f s" % (run.ended - run.started))
    elif run.returncode == 0:
        problems.append("exit 0")
    elif not run.errors:
        problems.append("no error message")
    if run.ended - started > FAIL_BOUND_S:
        problems.append("ended %.1f s later" % (run.ended - started))
    if run.marks and (audio is None or audio.duration() < run.marks[-1][1]):
        problems.append("the audio of the words delivered was not kept")
    return problems


def python_door(build, plain, plain_audio):
    """The same kills with `python -m vrelay` (the package's own resume) on a
    farm of its own, checked against vrelay-say's uninterrupted run: the
    report row's cells and the problems."""
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"),
               VRELAY_LIBRARY=os.path.join(build, "client/libvrelay_shared.so"))
    with Farm(build, servers=3, prefix="vrelay-resume-python-") as farm:
        output = os.path.join(farm.directory, "p.wav")
        run = speak([sys.executable, "-m", "vrelay"], ["127.0.0.1:%d" % farm.port], output,
                    TEXT, RUN_BOUND_S,
                    [(round(f * len(plain.marks)), lambda: kill_serving(farm)) for f in KILLS],
                    env)
        audio = read_audio(output)
        problems, _ = check_resumed(plain, run, plain_audio, audio)
        if not problems:
            shutil.rmtree(farm.directory)
        else:
            problems.append("logs in " + farm.directory)
    return (", then ".join(name for _, name in run.kills) or "none", run.returncode,
            len(run.marks), ", the same" if run.words() == plain.words() else ", **different**",
            len(run.notices), "%.2f s" % audio.duration() if audio else "none",
            ", ".join(seconds(d) for d in run.words_after_kills()) or "none",
            "ok" if not problems else "**failed**", problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/plain")
    parser.add_argument("--report", default=None)
    parser.add_argument("--row", action="store_true",
                        help="print the figure as a row of the performance report")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    say = [os.path.join(build, "tools/vrelay-say")]
    try:
        farm = Farm(build, servers=3, prefix="vrelay-resume-")
    except FarmError as e:
        sys.exit(str(e))
    problems = []
    failures = []  # (case, run, the time it is measured from, connections, problems)
    try:
        front = ["127.0.0.1:%d" % farm.port]
        out = lambda name: os.path.join(farm.directory, name)  # noqa: E731
        plain = speak(say, front, out("a.wav"), TEXT, RUN_BOUND_S)
        plain_audio = read_audio(out("a.wav"))
        if plain.returncode != 0 or plain_audio is None or plain.notices:
            sys.exit("the uninterrupted run failed: exit %s, %s (logs in %s)"
                     % (plain.returncode, " / ".join(plain.errors), farm.directory))
        count = len(plain.marks)
        resumed = speak(say, front, out("b.wav"), TEXT, RUN_BOUND_S,
                        [(round(f * count), lambda: kill_serving(farm)) for f in KILLS])
        resumed_audio = read_audio(out("b.wav"))
        resume_problems, seams = check_resumed(plain, resumed, plain_audio, resumed_audio)
        problems += resume_problems
        python_row = python_door(build, plain, plain_audio)
        problems += ["python -m vrelay: " + p for p in python_row[-1]]

        # The failures. A server dying on every request relays to a live one.
        survivor = next(s for s in farm.servers.values() if s.alive())
        closing, cutting = FailingServer(), FailingServer(("127.0.0.1", survivor.port))
        for fake in closing, cutting:
            fake.start()
        closed_port = socket.create_server(("127.0.0.1", 0))
        closed = closed_port.getsockname()[1]
        closed_port.close()
        cases = [
            ("a closed port", ["127.0.0.1:%d" % closed], None),
            ("a server that closes every connection at once",
             ["127.0.0.1:%d" % closing.port], closing),
            ("a server that cuts every connection when the text arrives",
             ["127.0.0.1:%d" % cutting.port], cutting),
        ]
        for index, (name, addresses, fake) in enumerate(cases, 1):
            output = out("fail%d.wav" % index)
            run = speak(say, addresses, output, SENTENCE, FAIL_BOUND_S + 30)
            connections = fake.connections if fake else None
            case_problems = check_failure(run, run.started, read_audio(output))
            if connections is not None and connections > MAX_CONNECTIONS:
                case_problems.append("%d connections" % connections)
            failures.append((name, run, run.started, connections, case_problems))
        for fake in closing, cutting:
            fake.close()
        # Every server dead: those left die mid-text.
        run = speak(say, front, out("c.wav"), TEXT, FAIL_BOUND_S + RUN_BOUND_S,
                    [(round(KILLS[0] * count), lambda: kill_all(farm))])
        killed = run.kills[0][0] if run.kills else run.started
        case_problems = check_failure(run, killed, read_audio(out("c.wav")))
        if not run.kills:
            case_problems.append("no server had a session to kill")
        failures.insert(0, ("every server dead: those left killed mid-text",
                            run, killed, None, case_problems))
        problems += ["%s: %s" % (name, ", ".join(p)) for name, _, _, _, p in failures if p]
    finally:
        farm.close()

    first_word = plain.marks[0][0] - plain.started
    delays = [d for d in resumed.words_after_kills() if d is not None]
    figure = max(delays) if delays else None
    longest_pause = plain_audio.longest_pause()
    report = [
        "## A text resumed after its server dies, behind HAProxy",
        "",
        "`scripts/resume_test.py`: three vrelay-servers (espeak, one worker each) behind "
        "HAProxy with `contrib/haproxy/vrelay.cfg`; vrelay-say speaks the GPL-3 (%d words, "
        "%.0f s of audio) with `--marks` into a WAV file through HAProxy, once "
        "uninterrupted, once while the server serving it is killed (SIGKILL) when %s of "
        "the words have arrived." % (count, plain_audio.duration(),
                                     " and ".join("%.0f%%" % (f * 100) for f in KILLS)),
        "",
        "| run | exit | words | notices | audio | kill to the next word | result |",
        "|---|---|---|---|---|---|---|",
        "| uninterrupted | %d | %d | 0 | %.2f s | | ok |"
        % (plain.returncode, count, plain_audio.duration()),
        "| %s killed | %s | %d%s | %d | %s | %s | %s |"
        % (", then ".join(name for _, name in resumed.kills) or "none",
           resumed.returncode, len(resumed.marks),
           ", the same" if resumed.words() == plain.words() else ", **different**",
           len(resumed.notices),
           "%.2f s" % resumed_audio.duration() if resumed_audio else "none",
           ", ".join(seconds(d) for d in resumed.words_after_kills()) or "none",
           "ok" if not resume_problems else "**failed**"),
        "| python -m vrelay, the same through a farm of its own: %s killed | %s | %d%s | %d "
        "| %s | %s | %s |" % python_row[:-1],
        "",
        "Within %.0f s of each resume point (%s): the longest quiet stretch %s (the "
        "uninterrupted text's longest pause: %.2f s), clipped samples: %d. A fresh "
        "vrelay-say's first word came %.2f s after its start."
        % (SEAM_WINDOW_S, ", ".join("%.2f s" % p for p, _, _ in seams) or "none",
           ", ".join("%.2f s" % q for _, q, _ in seams) or "none", longest_pause,
           sum(c for _, _, c in seams), first_word),
        "",
        "| failure | exit | error | notices | connections | ended after | result |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, run, start, connections, case_problems in failures:
        report.append("| %s | %s | %s | %d | %s | %.2f s | %s |"
                      % (name, "hung" if run.timed_out else run.returncode,
                         (run.errors[-1] if run.errors else "").replace(farm.directory + os.sep, "")
                         .replace("|", "\\|"),
                         len(run.notices), "" if connections is None else connections,
                         run.ended - start,
                         "ok" if not case_problems else "**failed**"))
    # With --row, standard output carries the row alone.
    print_report(report, problems, args.report, sys.stderr if args.row else None)
    if args.row:
        met = figure is not None and figure <= RESUME_TARGET_S
        print("| time from kill -9 of the server speaking a text (HAProxy farm) to its next "
              "word | a fresh vrelay-say's first word through the farm | %.0f ms | %s | %s "
              "| within %.0f ms | %s |"
              % (first_word * 1000, "%.0f ms" % (figure * 1000) if figure else "none",
                 "%+.0f ms" % ((figure - first_word) * 1000) if figure else "",
                 RESUME_TARGET_S * 1000, "yes" if met else "**no**"))
    if problems:
        sys.exit("resume check failed (logs, marks and audio in %s)" % farm.directory)
    shutil.rmtree(farm.directory)  # some 200 MB of audio


if __name__ == "__main__":
    main()
