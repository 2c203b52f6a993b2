# SPDX-License-Identifier: MIT
"""A farm on loopback for the scripts that test one: vrelay-servers behind
HAProxy with the configuration of contrib/haproxy/vrelay.cfg, its ports
replaced by free ones, one server line per server, every connection's end in
HAProxy's log (tcplog) and an admin stats socket.

    with Farm(build, servers=3) as farm:
        farm.port                      # HAProxy's front port
        farm.stats()                   # {"vrelay1": HAProxy's CSV row, ...}
        farm.kill("vrelay2")           # SIGKILL of that server
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
CONFIG = os.path.join(ROOT, "contrib/haproxy/vrelay.cfg")
BACKEND = "vrelay_servers"
# The example's server lines: "server vrelay1 127.0.0.1:5555 check port 15555".
SERVER_LINE = re.compile(r"^    server vrelay\d+ 127\.0\.0\.1:(\d+) check port 1\1\n", re.M)


class FarmError(Exception):
    """The farm could not be started as the example configures it."""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def number(row, key):
    """A numeric field of a stats row (HAProxy leaves some empty)."""
    return int(row.get(key) or 0)


def print_report(lines, problems, path=None, out=None):
    """Prints a farm test's markdown section, its problems last, to OUT
    (standard output by default), and writes it to PATH too when one is
    given."""
    if problems:
        lines = lines + ["", "Problems: " + "; ".join(problems) + "."]
    print("\n".join(lines), file=out or sys.stdout)
    if path:
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")


class Server:
    """One vrelay-server on free ports (a session port and a health port) with
    the options the example names (one synthesis worker unless WORKERS says
    otherwise); its log in DIRECTORY/NAME.log."""

    def __init__(self, build, directory, name, sessions, workers=1):
        self.name = name
        self.log = os.path.join(directory, name + ".log")
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [os.path.join(build, "server/vrelay-server"), "--port", "0",
                 "--health-port", "0", "--workers", str(workers), "--max-sessions", str(sessions),
                 "--max-sessions-per-address", "0", "--log-level", "warning"],
                stdout=subprocess.PIPE, stderr=log, text=True)
        ports = []
        for _ in range(2):  # "listening on ...:PORT", "health checks on ...:PORT"
            line = self.process.stdout.readline()
            if " on " not in line:
                self.stop()
                raise FarmError("%s did not start (log: %s)" % (name, self.log))
            ports.append(int(line.rsplit(":", 1)[1]))
        self.port, self.health_port = ports

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.alive():
            self.process.terminate()
            self.process.wait(30)


class Farm:
    """SERVERS vrelay-servers behind HAProxy, all up when the constructor
    returns (or FarmError). A context manager: leaving it stops everything."""

    def __init__(self, build, servers, sessions=8, prefix="vrelay-farm-"):
        self.directory = tempfile.mkdtemp(prefix=prefix)
        self.servers = {}
        self.haproxy = None
        try:
            for index in range(1, servers + 1):
                name = "vrelay%d" % index
                self.servers[name] = Server(build, self.directory, name, sessions)
            self.port = free_port()
            self.stats_socket = os.path.join(self.directory, "haproxy.sock")
            config_path = os.path.join(self.directory, "haproxy.cfg")
            with open(config_path, "w") as f:
                f.write(self._config())
            self.log = os.path.join(self.directory, "haproxy.log")
            with open(self.log, "w") as log:
                self.haproxy = subprocess.Popen(["haproxy", "-db", "-f", config_path],
                                                stdout=subprocess.DEVNULL, stderr=log)
            self._wait_until_up()
        except BaseException:
            self.close()
            raise

    def _config(self):
        with open(CONFIG) as f:
            config = f.read()
        lines = list(SERVER_LINE.finditer(config))
        if "127.0.0.1:5500" not in config or not lines:
            raise FarmError("%s no longer has the front and server lines this farm runs"
                            % CONFIG)
        servers = "".join("    server %s 127.0.0.1:%d check port %d\n"
                          % (name, s.port, s.health_port) for name, s in self.servers.items())
        config = config[:lines[0].start()] + servers + config[lines[-1].end():]
        config = config.replace("127.0.0.1:5500", "127.0.0.1:%d" % self.port)
        # Every connection's end in the log, and the stats socket.
        config = config.replace("local0 notice", "local0 info")
        config = config.replace("    mode tcp\n", "    mode tcp\n    option tcplog\n", 1)
        return config.replace("global\n", "global\n    stats socket %s level admin\n"
                              % self.stats_socket, 1)

    def _wait_until_up(self):
        deadline = time.monotonic() + 20
        while True:
            try:
                stats = self.stats()
                if len(stats) == len(self.servers) and all(s["status"] == "UP"
                                                           for s in stats.values()):
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise FarmError("HAProxy did not see every server up (log: %s)" % self.log)
            time.sleep(0.2)  # waiting for HAProxy to start, not synchronising

    def command(self, command):
        """HAProxy's answer to a stats socket command."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.stats_socket)
            s.sendall((command + "\n").encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data.decode()
                data += chunk

    def stats(self, backend_row=False):
        """{server name: its row of HAProxy's CSV stats}; with backend_row,
        also the backend's own row under "BACKEND"."""
        stats = {}
        lines = self.command("show stat").splitlines()
        header = lines[0].lstrip("# ").split(",")
        for line in lines[1:]:
            row = dict(zip(header, line.split(",")))
            name = row.get("svname", "")
            if row.get("pxname") == BACKEND and (name in self.servers or
                                                 (backend_row and name == "BACKEND")):
                stats[name] = row
        return stats

    def kill(self, name):
        """SIGKILL of a server; returns when it is dead."""
        server = self.servers[name]
        server.process.send_signal(signal.SIGKILL)
        server.process.wait()

    def close(self):
        if self.haproxy is not None:
            self.haproxy.terminate()
            self.haproxy.wait(10)
        for server in self.servers.values():
            server.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
