#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The farm at capacity: two vrelay-servers behind HAProxy on loopback, with
the configuration of contrib/haproxy/vrelay.cfg (ports replaced by free ones)
and the server options it names (--max-sessions 8 matching HAProxy's
maxconn, a health port, no per-address bound).

Twenty-four clients of the Python package (the real client library) each
connect, speak a sentence, keep the connection while its audio would play,
close, and come back a couple of seconds later: more sessions than the two
servers hold, so HAProxy queues some clients. For the load time, checked:
  - every request is served and no connection is cut (HAProxy's log gives
    each connection's end: only normal ends);
  - no server is ever marked down, and both run full (8 sessions) while
    clients wait in HAProxy's queue.
Then one server is killed (SIGKILL) and the run goes on. Checked:
  - only requests on the dead server fail, no more than its sessions at the
    kill, each with the library's error and within a bound of the kill;
  - every request started after the kill is served, by the other server;
  - HAProxy marks the dead server down and the other stays up.
The figures go as a markdown section to --report.

Usage: scripts/haproxy_test.py [--ci] [--report FILE] [--build DIR]
"""
import argparse
import os
import random
import re
import sys
import threading
import time

from farm import ROOT, Farm, FarmError, number, print_report

CLIENTS = 24
SESSIONS = 8         # each server's --max-sessions, HAProxy's maxconn
FAIL_BOUND_S = 10.0  # a broken request must end this soon after the kill (loaded CI machines)
PAUSE_S = (1.5, 2.5)  # a client's pause between sentences
SENTENCE = ("Every client of the farm speaks a sentence like this one, listens to it, "
            "and comes back a couple of seconds later for the next.")


class Client(threading.Thread):
    """Speaks a sentence on a new connection, holds the connection while the
    audio would play (a player), closes it, pauses, and again."""

    def __init__(self, vrelay, port, stop, seed):
        super().__init__(daemon=True)
        self.vrelay, self.port, self.stop = vrelay, port, stop
        self.random = random.Random(seed)
        self.requests = []  # (start, end, error or None)

    def run(self):
        self.stop.wait(self.random.uniform(0, sum(PAUSE_S)))  # the clients start spread out
        while not self.stop.is_set():
            start = time.monotonic()
            error = None
            try:
                with self.vrelay.Connection("127.0.0.1", self.port) as connection:
                    result = connection.render(SENTENCE)
                    end = time.monotonic()
                    self.stop.wait(result.duration)
            except self.vrelay.VrelayError as e:
                end = time.monotonic()
                error = "%s: %s" % (type(e).__name__, e)
            self.requests.append((start, end, error))
            self.stop.wait(self.random.uniform(*PAUSE_S))


def connection_ends(log_path):
    """(time in the log, server, termination state) of each connection HAProxy
    logged, from its tcplog lines."""
    ends = []
    pattern = re.compile(r"vrelay vrelay_servers/(\S+) \S+ \d+ (\S\S) ")
    with open(log_path, errors="replace") as f:
        for line in f:
            match = pattern.search(line)
            if match:
                ends.append((match.group(1), match.group(2)))
    return ends


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ci", action="store_true")
    parser.add_argument("--report", default=None)
    parser.add_argument("--build", default="build/plain")
    args = parser.parse_args()
    load_s, after_s = (30.0, 15.0) if args.ci else (90.0, 30.0)
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(ROOT, "python"))
    os.environ["VRELAY_LIBRARY"] = os.path.join(build, "client/libvrelay_shared.so.0")
    import vrelay

    try:
        farm = Farm(build, servers=2, sessions=SESSIONS, prefix="vrelay-haproxy-")
    except FarmError as e:
        sys.exit(str(e))
    problems = []
    try:
        stop = threading.Event()
        clients = [Client(vrelay, farm.port, stop, seed) for seed in range(CLIENTS)]
        started = time.monotonic()
        for c in clients:
            c.start()
        # The load: the busiest figures HAProxy saw, twice a second.
        most_queued = 0
        while time.monotonic() - started < load_s:
            stop.wait(0.5)
            backend = farm.stats(backend_row=True)["BACKEND"]
            most_queued = max(most_queued, number(backend, "qcur"))
        at_kill = farm.stats()
        ends_before_kill = connection_ends(farm.log)
        victim = max(at_kill, key=lambda name: number(at_kill[name], "scur"))
        survivor = [name for name in at_kill if name != victim][0]
        victim_sessions = number(at_kill[victim], "scur")
        farm.kill(victim)
        killed = time.monotonic()
        time.sleep(after_s)  # the run goes on without it
        final = farm.stats()
        stop.set()
        for c in clients:
            c.join(90)
        ended = time.monotonic()

        requests = [r for c in clients for r in c.requests]
        load = [r for r in requests if r[0] < killed and r[1] < killed]
        load_failed = [r for r in load if r[2] is not None]
        load_cut = [e for e in ends_before_kill if e[1] != "--"]
        went_down = {name: number(row, "chkdown") for name, row in at_kill.items()}
        most_sessions = min(number(row, "smax") for row in at_kill.values())
        checks_failed = sum(number(row, "chkfail") for row in at_kill.values())
        if load_failed:
            problems.append("%d requests failed under load (%s)"
                            % (len(load_failed), load_failed[0][2]))
        if load_cut:
            problems.append("%d connections cut under load (HAProxy's ends: %s)"
                            % (len(load_cut), " ".join(sorted({e[1] for e in load_cut}))))
        if any(went_down.values()) or any(row["status"] != "UP" for row in at_kill.values()):
            problems.append("a server was marked down under load: %s" % went_down)
        if most_sessions < SESSIONS or most_queued == 0:
            problems.append("the farm was not full (at most %d sessions on the less busy "
                            "server, %d clients queued)" % (most_sessions, most_queued))

        # Around the kill: requests that were running on the dead server fail;
        # every other, and every one started after it, is served.
        spanning = [r for r in requests if r[0] < killed <= r[1]]
        after_kill = [r for r in requests if r[0] >= killed]
        failures = [r for r in requests if r[2] is not None and r not in load_failed]
        late = [r for r in failures if r[0] >= killed or r[1] > killed + FAIL_BOUND_S]
        slowest_failure = max((r[1] - killed for r in failures), default=0.0)
        if late:
            problems.append("%d requests failed after the kill's window (%s)" % (len(late),
                                                                                late[0][2]))
        if len(failures) > victim_sessions:
            problems.append("%d failures for %d sessions of the dead server"
                            % (len(failures), victim_sessions))
        if len(after_kill) < CLIENTS:
            problems.append("only %d requests after the kill" % len(after_kill))
        if final.get(victim, {}).get("status") != "DOWN":
            problems.append("the health check did not mark %s down" % victim)
        if final[survivor]["status"] != "UP" or number(final[survivor], "chkdown") != 0:
            problems.append("the live server %s did not stay up" % survivor)

        rate_load = len(load) / (killed - started)
        rate_after = len(after_kill) / (ended - killed)
        report = [
            "## Two servers at capacity behind HAProxy%s" % (" (CI-sized)" if args.ci else ""),
            "",
            "`scripts/haproxy_test.py%s`: two vrelay-servers (espeak, one worker each, "
            "`--max-sessions %d`, a health port) behind HAProxy with "
            "`contrib/haproxy/vrelay.cfg` (`maxconn %d` per server, the health check on the "
            "health port, a 30 s queue). %d clients of the Python package each speak a "
            "sentence on a new connection, keep it while the audio would play, and come back "
            "1.5 to 2.5 s later: more sessions than the farm holds. After %.0f s of that, %s "
            "(%d sessions) is killed with SIGKILL and the run goes on for %.0f s."
            % (" --ci" if args.ci else "", SESSIONS, SESSIONS, CLIENTS, load_s, victim,
               victim_sessions, after_s),
            "",
            "| phase | requests | failed | connections cut | marked down | busiest server: "
            "sessions | most clients queued | requests/s | result |",
            "|---|---|---|---|---|---|---|---|---|",
            "| under load | %d | %d | %d | %d | %d | %d | %.1f | %s |"
            % (len(load), len(load_failed), len(load_cut), sum(went_down.values()),
               max(number(row, "smax") for row in at_kill.values()), most_queued, rate_load,
               "ok" if not (load_failed or load_cut or any(went_down.values())) else "**failed**"),
            "| after the kill | %d (%d spanning it) | %d, within %.2f s | | %s down, %s %s "
            "| | | %.1f | %s |"
            % (len(after_kill) + len(spanning), len(spanning), len(failures), slowest_failure,
               victim, survivor, final[survivor]["status"], rate_after,
               "ok" if not (late or len(failures) > victim_sessions) else "**failed**"),
            "",
            "Health checks failed under load: %d." % checks_failed,
        ]
        print_report(report, problems, args.report)
    finally:
        farm.close()
    if problems:
        sys.exit("farm check failed (logs in %s)" % farm.directory)


if __name__ == "__main__":
    main()
