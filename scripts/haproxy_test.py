#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Scale-out check: three vrelay-servers behind HAProxy on loopback, with the
configuration of contrib/haproxy/vrelay.cfg (ports replaced by free ones).

Thirty clients render text through HAProxy in a loop with vrelay-say (the
real client library); midway one server is killed (SIGKILL). Checked:
  - only renders running at the kill fail, no more than the dead server's
    sessions at that moment, each with vrelay-say's exit code and line for
    speech that failed, and within a bound of the kill; no render hangs;
  - renders started after the health check's detection time all succeed
    (new connections go to the other servers), and there are plenty of them;
  - HAProxy's health check marks the dead server DOWN.
The figures go as a markdown section to --report.

Usage: scripts/haproxy_test.py [--ci] [--report FILE] [--build DIR]
"""
import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CLIENTS = 30
FAIL_BOUND_S = 10.0  # a broken render must end this soon after the kill (loaded CI machines)
DETECTION_S = 3.0    # health check: inter 1s, fall 2, plus a margin
RENDER_LIMIT_S = 60  # a render taking longer counts as a hang

TEXT = ("The licenses for most software and other practical works are designed to take "
        "away your freedom to share and change the works. By contrast, the General Public "
        "License is intended to guarantee your freedom to share and change all versions of "
        "a program, to make sure it remains free software for all its users.\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(build, directory, index):
    log = open(os.path.join(directory, "server%d.log" % index), "w")
    server = subprocess.Popen(
        [os.path.join(build, "server/vrelay-server"), "--port", "0", "--workers", "1",
         "--max-sessions-per-address", "0",  # every client comes from HAProxy's address
         "--log-level", "warning"], stdout=subprocess.PIPE, stderr=log, text=True)
    line = server.stdout.readline()
    if "listening on" not in line:
        sys.exit("server %d did not start" % index)
    return server, int(line.rsplit(":", 1)[1])


def haproxy_command(socket_path, command):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(socket_path)
        s.sendall((command + "\n").encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data.decode()
            data += chunk


def server_stats(socket_path):
    """{server name: (status, current sessions)} from HAProxy's CSV stats."""
    stats = {}
    lines = haproxy_command(socket_path, "show stat").splitlines()
    header = lines[0].lstrip("# ").split(",")
    for line in lines[1:]:
        row = dict(zip(header, line.split(",")))
        if row.get("pxname") == "vrelay_servers" and row.get("svname", "").startswith("vrelay"):
            stats[row["svname"]] = (row["status"], int(row["scur"] or 0))
    return stats


class Client(threading.Thread):
    def __init__(self, build, port, text_file, output, stop):
        super().__init__(daemon=True)
        self.command = [os.path.join(build, "tools/vrelay-say"), "--server",
                        "127.0.0.1:%d" % port, "-q", "-f", text_file, "-o", output]
        self.stop = stop
        self.renders = []  # (start, end, exit code, stderr)

    def run(self):
        while not self.stop.is_set():
            start = time.monotonic()
            try:
                done = subprocess.run(self.command, capture_output=True, text=True,
                                      timeout=RENDER_LIMIT_S)
                code, err = done.returncode, done.stderr.strip()
            except subprocess.TimeoutExpired:
                code, err = "hang", ""
            self.renders.append((start, time.monotonic(), code, err))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ci", action="store_true")
    parser.add_argument("--report", default=None)
    parser.add_argument("--build", default="build/plain")
    args = parser.parse_args()
    before, after = (8.0, 12.0) if args.ci else (20.0, 40.0)
    config_file = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                               "../contrib/haproxy/vrelay.cfg")

    directory = tempfile.mkdtemp(prefix="vrelay-haproxy-")
    servers = [start_server(args.build, directory, i) for i in range(3)]
    front = free_port()
    stats_socket = os.path.join(directory, "haproxy.sock")
    config = open(config_file).read()
    config = config.replace("127.0.0.1:5500", "127.0.0.1:%d" % front)
    for (_, port), default in zip(servers, (5555, 5556, 5557)):
        config = config.replace("127.0.0.1:%d" % default, "127.0.0.1:%d" % port)
    config = config.replace("global\n", "global\n    stats socket %s level admin\n" % stats_socket, 1)
    with open(os.path.join(directory, "haproxy.cfg"), "w") as f:
        f.write(config)
    haproxy = subprocess.Popen(["haproxy", "-db", "-f", os.path.join(directory, "haproxy.cfg")],
                               stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(directory, "haproxy.log"), "w"))
    problems = []
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                stats = server_stats(stats_socket)
                if len(stats) == 3 and all(s[0] == "UP" for s in stats.values()):
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                sys.exit("HAProxy did not see three servers up")
            time.sleep(0.2)

        text_file = os.path.join(directory, "text.txt")
        with open(text_file, "w") as f:
            f.write(TEXT)
        stop = threading.Event()
        clients = [Client(args.build, front, text_file, os.path.join(directory, "c%d.wav" % i),
                          stop) for i in range(CLIENTS)]
        started = time.monotonic()
        for c in clients:
            c.start()
        time.sleep(before)
        stats = server_stats(stats_socket)
        victim = max(stats, key=lambda name: stats[name][1])
        victim_sessions = stats[victim][1]
        servers[int(victim[-1]) - 1][0].send_signal(signal.SIGKILL)
        killed = time.monotonic()
        time.sleep(after)
        final = server_stats(stats_socket)
        stop.set()
        for c in clients:
            c.join(RENDER_LIMIT_S + 5)
        ended = time.monotonic()

        renders = [r for c in clients for r in c.renders]
        failures = [r for r in renders if r[2] != 0]
        hangs = [r for r in renders if r[2] == "hang"]
        # Until the health check marks the dead server down (DETECTION_S), a
        # new connection may still be sent to it; after that none may fail.
        late = [r for r in failures
                if not (r[0] < killed + DETECTION_S and r[1] < killed + FAIL_BOUND_S)]
        # vrelay-say's code for speech that failed (1), and its line saying
        # what the server did.
        wrong = [r for r in failures if r[2] != 1 or "vrelay-say: " not in r[3]
                 or "server" not in r[3]]
        after_detection = [r for r in renders if r[0] > killed + DETECTION_S]
        before_kill = [r for r in renders if r[1] < killed]
        slowest_failure = max((r[1] - killed for r in failures), default=0.0)
        if hangs:
            problems.append("%d renders hung" % len(hangs))
        if late:
            problems.append("%d renders failed outside the kill's window" % len(late))
        if wrong:
            problems.append("failures without the failed-speech code and line: %s %s"
                            % (wrong[0][2], wrong[0][3][:200]))
        if len(failures) > victim_sessions + 2:
            problems.append("%d failures for %d sessions of the dead server"
                            % (len(failures), victim_sessions))
        if len(after_detection) < CLIENTS:
            problems.append("only %d renders after the kill" % len(after_detection))
        if final.get(victim, ("?",))[0] != "DOWN":
            problems.append("the health check did not mark %s DOWN (%s)" % (victim, final))
        if any(final[name][0] != "UP" for name in final if name != victim):
            problems.append("a live server is not UP: %s" % final)

        rate_before = len(before_kill) / (killed - started)
        rate_after = len(after_detection) / (ended - killed - DETECTION_S)
        report = [
            "## Three servers behind HAProxy%s" % (" (CI-sized)" if args.ci else ""),
            "",
            "`scripts/haproxy_test.py%s`: three vrelay-servers (espeak, one worker each) behind "
            "HAProxy with `contrib/haproxy/vrelay.cfg`, %d clients rendering a paragraph in a "
            "loop through it with vrelay-say; %s (%d sessions) killed with SIGKILL after %.0f s, "
            "the run going on for %.0f s more."
            % (" --ci" if args.ci else "", CLIENTS, victim, victim_sessions, before, after),
            "",
            "| renders | failed | failed within (s) | hung | renders/s before kill "
            "| renders/s after detection | dead server | result |",
            "|---|---|---|---|---|---|---|---|",
            "| %d | %d | %.2f | %d | %.1f | %.1f | %s | %s |"
            % (len(renders), len(failures), slowest_failure, len(hangs), rate_before, rate_after,
               final.get(victim, ("?",))[0], "; ".join(problems) or "ok"),
        ]
        print("\n".join(report))
        if args.report:
            with open(args.report, "w") as f:
                f.write("\n".join(report) + "\n")
    finally:
        haproxy.terminate()
        haproxy.wait(10)
        for server, _ in servers:
            if server.poll() is None:
                server.terminate()
                server.wait(30)
    if problems:
        sys.exit("scale-out check failed (logs in %s)" % directory)


if __name__ == "__main__":
    main()
