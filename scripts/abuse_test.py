#!/usr/bin/env python3
"""Attacks a running vrelay-server on loopback and checks that it holds.

Each attack runs while a well-behaved client keeps asking for a short
sentence; for every attack the server must stay up, that client must be
served within a bound every time, and the resident memory of the server and
its workers must stay under a ceiling. The figures are written as a markdown
section to the file given with --report.

Usage: scripts/abuse_test.py [--ci] [--report FILE] [--server BINARY]
  --ci   smaller counts and volumes (the CI stage; about a minute)
"""
import argparse
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

TEXT, QUERY, TEXT_CHUNK, CLOSE, END, DATA_10 = 1, 13, 15, 12, 11, 10
MAX_PAYLOAD = 64000


def frame(kind, payload=b"", length=None, trailer=None):
    length = len(payload) if length is None else length
    trailer = length if trailer is None else trailer
    return struct.pack(">HiI", kind, 0, length) + payload + struct.pack(">I", trailer)


def text_frame(kind, text):
    return frame(kind, text.encode() + b"\0")


def connect(port, timeout=30.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_answer(s):
    """Packets up to PACKET_END: (types, messages, audio bytes)."""
    types, messages, audio = [], [], 0
    while True:
        kind, _, length = struct.unpack(">HiI", read_exactly(s, 10))
        payload = read_exactly(s, length)
        read_exactly(s, 4)
        types.append(kind)
        if kind == DATA_10:
            messages.append(payload.split(b"\0")[0].decode("utf-8", "replace"))
        if kind == 6:
            audio += length
        if kind in (END, CLOSE):
            return types, messages, audio


def marked(words, word="word"):
    return "".join('<mark name="w%d"/>%s ' % (i, word) for i in range(words))


class Probe(threading.Thread):
    """The well-behaved client: a sentence every interval on a new connection,
    retried while the server says it is busy; records how long each took."""

    SENTENCE = '<speak><mark name="a"/>Hello <mark name="b"/>there.</speak><mark name="kvox_final"/>'

    def __init__(self, port, interval=0.5):
        super().__init__(daemon=True)
        self.port, self.interval = port, interval
        self.stop = threading.Event()
        self.times, self.failures = [], []

    def once(self):
        start = time.monotonic()
        while time.monotonic() - start < 120:
            try:
                with connect(self.port) as s:
                    s.sendall(text_frame(TEXT, self.SENTENCE))
                    types, messages, audio = read_answer(s)
                    if END in types and audio > 0:
                        return time.monotonic() - start
                    if not any("busy" in m for m in messages):
                        self.failures.append("answer without audio: %s" % messages)
                        return None
            except OSError as e:
                self.failures.append(str(e))
                return None
            time.sleep(0.1)
        self.failures.append("not served in 120 s")
        return None

    def run(self):
        while not self.stop.is_set():
            took = self.once()
            if took is not None:
                self.times.append(took)
            self.stop.wait(self.interval)


class Memory(threading.Thread):
    """Peak resident memory of the server and its children."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak_kb = pid, 0
        self.stop = threading.Event()

    def rss_kb(self):
        total = 0
        pids = [self.pid]
        try:
            with open("/proc/%d/task/%d/children" % (self.pid, self.pid)) as f:
                pids += [int(p) for p in f.read().split()]
        except OSError:
            pass
        for pid in pids:
            try:
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def run(self):
        while not self.stop.is_set():
            self.peak_kb = max(self.peak_kb, self.rss_kb())
            self.stop.wait(0.1)


def quietly(action):
    try:
        action()
    except OSError:
        pass


# ---- the attacks; each gets the port and the scale ---------------------------

def nested_markup(port, scale):
    with connect(port) as s:
        deep = "<s>" * 9900 + '<mark name="m"/>' * 1950
        for _ in range(scale["chunks"]):
            s.sendall(text_frame(TEXT_CHUNK, deep[:MAX_PAYLOAD - 1]))
            read_answer(s)
        s.sendall(text_frame(TEXT, '<mark name="m"/>x' * 3500))
        read_answer(s)


def break_flood_unread(port, scale):
    with connect(port) as s:
        s.sendall(text_frame(TEXT, '<mark name="a"/>x' + "<break time='10s'/>" * 3300))
        time.sleep(scale["hold"])  # never read


def long_word(port, scale):
    with connect(port, timeout=120) as s:
        word = '<mark name="a"/>' + "a" * scale["word"]
        for i in range(0, len(word), MAX_PAYLOAD - 1):
            s.sendall(text_frame(TEXT_CHUNK, word[i:i + MAX_PAYLOAD - 1]))
            read_answer(s)
        s.sendall(text_frame(TEXT, '<mark name="kvox_final"/>'))
        read_answer(s)


def huge_request(port, scale):
    with connect(port, timeout=120) as s:
        piece = marked(4000, "x")[:MAX_PAYLOAD - 1]
        for _ in range(scale["request"] // len(piece)):
            s.sendall(text_frame(TEXT_CHUNK, piece))
            read_answer(s)
        s.sendall(text_frame(TEXT, ""))
        read_answer(s)


def idle_slow_and_deaf(port, scale):
    sockets = []
    for i in range(64):
        try:
            s = connect(port)
        except OSError:
            continue
        sockets.append(s)
        if i % 3 == 1:
            s.sendall(text_frame(TEXT, marked(3000)[:MAX_PAYLOAD - 1]))  # never read
    slow = [s for i, s in enumerate(sockets) if i % 3 == 2]
    end = time.monotonic() + scale["hold"]
    data = text_frame(TEXT, "hi")
    position = 0
    while time.monotonic() < end:  # a byte per 100 ms on every slow one
        for s in slow:
            quietly(lambda: s.sendall(data[position % len(data):position % len(data) + 1]))
        position += 1
        time.sleep(0.1)
    for s in sockets:
        s.close()


def hostile_queries(port, scale):
    with connect(port) as s:
        for query in ("<voice name='x\n20261205 00:00:00.000 ERROR: forged' select='1'/>",
                      "<voice name='all' select='' select='1'/>", "q" * 60000):
            s.sendall(text_frame(QUERY, query))
            types, messages, _ = read_answer(s)
            if any("\n" in m for m in messages) or QUERY in types:
                raise AssertionError("query answered wrongly: %r" % messages)


def malformed_frames(port, scale):
    frames = [frame(TEXT, b"hi\0", 3, 4), frame(END), frame(99, b"x"),
              frame(TEXT, b"", 64001, 64001), struct.pack(">HiI", TEXT, 0, 100) + b"cut",
              os.urandom(4096)]
    for _ in range(scale["rounds"]):
        for data in frames:
            s = connect(port)
            quietly(lambda: s.sendall(data))
            s.close()


def many_at_once(port, scale):
    sockets = []
    for _ in range(200):
        quietly(lambda: sockets.append(connect(port)))
    for s in sockets:
        quietly(lambda: s.sendall(text_frame(TEXT, Probe.SENTENCE)))
    for s in sockets:
        quietly(lambda: read_answer(s))
        s.close()


def rapid_reconnects(port, scale):
    for _ in range(scale["reconnects"]):
        quietly(lambda: connect(port).close())


def vanishing_mid_answer(port, scale):
    for _ in range(scale["rounds"]):
        s = connect(port)
        s.sendall(text_frame(TEXT, marked(2000)[:MAX_PAYLOAD - 1]))
        s.recv(100)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()  # a reset, mid-answer


def never_read_flood(port, scale):
    s = connect(port, timeout=5)
    piece = text_frame(TEXT_CHUNK, marked(8000, "x")[:MAX_PAYLOAD - 1])
    sent = 0
    try:
        while sent < scale["flood"]:
            s.sendall(piece)
            sent += len(piece)
    except OSError:
        pass  # the server stopped taking it: that is the point
    s.close()
    return "%d MB offered, %.1f MB taken" % (scale["flood"] >> 20, sent / 1048576)


ATTACKS = [
    ("nested markup (9,900 <s> per piece)", nested_markup),
    ("3,300 ten-second breaks, never read", break_flood_unread),
    ("one long word", long_word),
    ("large request", huge_request),
    ("64 idle, slowloris and never-reading connections", idle_slow_and_deaf),
    ("forged log line, duplicate select, huge query", hostile_queries),
    ("malformed frames", malformed_frames),
    ("200 connections at once", many_at_once),
    ("rapid connect/disconnect", rapid_reconnects),
    ("client vanishing mid-answer", vanishing_mid_answer),
    ("never-read flood", never_read_flood),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ci", action="store_true")
    parser.add_argument("--report", default=None)
    parser.add_argument("--server", default="build/plain/server/vrelay-server")
    args = parser.parse_args()
    if args.ci:
        scale = dict(chunks=10, hold=4, word=256 << 10, request=1 << 20, rounds=5,
                     reconnects=1000, flood=10 << 20)
        # Generous time bounds: CI machines may be heavily loaded.
        timeouts = ["--idle-timeout", "3", "--request-timeout", "15"]
        bound_s, ceiling_mb = 30.0, 512
    else:
        scale = dict(chunks=10, hold=12, word=1 << 20, request=3 << 20, rounds=20,
                     reconnects=5000, flood=50 << 20)
        timeouts = ["--idle-timeout", "10", "--request-timeout", "10"]
        bound_s, ceiling_mb = 30.0, 512

    # The server's log (every refused and cut session) goes to a file, shown on failure.
    log = tempfile.NamedTemporaryFile("w+", prefix="vrelay-abuse-", suffix=".log", delete=False)
    server = subprocess.Popen([args.server, "--port", "0", "--workers", "2", "--log-level",
                               "warning"] + timeouts, stdout=subprocess.PIPE, stderr=log,
                              text=True)
    line = server.stdout.readline()
    if "listening on" not in line:
        sys.exit("the server did not start")
    port = int(line.rsplit(":", 1)[1])
    rows, failed = [], False
    total_start = time.monotonic()
    for name, attack in ATTACKS:
        memory = Memory(server.pid)
        memory.start()
        probe = Probe(port)
        probe.start()
        start = time.monotonic()
        note = ""
        try:
            note = attack(port, scale) or ""
        except (OSError, AssertionError) as e:
            note = "attack ended: %s" % e
            failed = failed or isinstance(e, AssertionError)
        took = time.monotonic() - start
        time.sleep(1.0)  # the probe's last round runs after the attack
        probe.stop.set()
        probe.join(150)
        memory.stop.set()
        memory.join()
        alive = server.poll() is None
        worst = max(probe.times) if probe.times else float("inf")
        ok = (alive and not probe.failures and probe.times and worst <= bound_s
              and memory.peak_kb < ceiling_mb * 1024)
        failed = failed or not ok
        rows.append("| %s | %.1f | %s | %d | %.2f | %d | %s |" % (
            name, took, "yes" if alive else "**no**", len(probe.times), worst,
            memory.peak_kb // 1024, note or ("ok" if ok else "; ".join(probe.failures[:2]))))
        print(rows[-1], flush=True)
        if not alive:
            break
    server.terminate()
    code = server.wait(30)
    report = [
        "## Server under attack%s" % (" (CI-sized)" if args.ci else ""),
        "",
        "`scripts/abuse_test.py%s`: vrelay-server with the espeak engine, 2 workers, %s; "
        "a well-behaved client asks for a sentence every 0.5 s throughout each attack "
        "(retrying while told the server is busy). Bounds: served within %.0f s, "
        "resident memory of the server and its workers under %d MB. Total %.0f s; "
        "the server exited with status %d on SIGTERM." % (
            " --ci" if args.ci else "", " ".join(timeouts), bound_s, ceiling_mb,
            time.monotonic() - total_start, code),
        "",
        "| attack | attack time (s) | server up | sentences served | slowest (s) "
        "| peak RSS (MB) | note |",
        "|---|---|---|---|---|---|---|",
    ] + rows
    if args.report:
        with open(args.report, "w") as f:
            f.write("\n".join(report) + "\n")
    if failed or code != 0:
        log.seek(0)
        sys.stderr.write("".join(log.readlines()[-40:]))
        sys.exit("the server did not hold (its log: %s)" % log.name)
    os.unlink(log.name)
    print("the server held")


if __name__ == "__main__":
    main()
