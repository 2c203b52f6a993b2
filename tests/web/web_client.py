# SPDX-License-Identifier: MIT
"""Test support for vrelay-web: starts the program, and a WebSocket client on
the standard library that speaks its messages (web/frames.h)."""

import base64
import os
import re
import shlex
import socket
import struct
import subprocess
import tempfile
import time

SPEAK, STOP, PLAYED = 0x01, 0x02, 0x03
FORMAT, AUDIO, WORD, END = 0x81, 0x82, 0x83, 0x84


SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def unit_args(name):
    """The options on the ExecStart line of contrib/systemd/NAME."""
    with open(os.path.join(SOURCE, "contrib", "systemd", name)) as unit:
        line = next(l for l in unit if l.startswith("ExecStart="))
    return shlex.split(line)[1:]


def with_option(args, option, value):
    """args with option's value replaced (or the option added)."""
    args = list(args)
    if option in args:
        args[args.index(option) + 1] = value
    else:
        args += [option, value]
    return args


class SpeechServer:
    """A vrelay-server (VRELAY_SERVER) on a free port; its log is kept."""

    def __init__(self, *args):
        self.args = with_option([os.environ.get("VRELAY_SERVER", "vrelay-server"), *args],
                                "--port", "0")
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=self.log,
                                        text=True)
        line = self.process.stdout.readline()
        self.address = "127.0.0.1:" + line.strip().rsplit(":", 1)[-1]
        return self

    def kill(self):
        self.process.send_signal(18)  # SIGCONT, should a test have stopped it
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()

    def __exit__(self, *exc):
        self.kill()
        self.log.close()
        return False

    def restart(self):
        """Kills the server and starts it again on the same port."""
        self.kill()
        self.args = with_option(self.args, "--port", self.address.rsplit(":", 1)[1])
        self.__enter__()

    def sessions_opened(self):
        self.log.seek(0)
        return self.log.read().count(" opened by ")


class WebServer:
    """vrelay-web on a free port, with the embedded tone server unless
    --server is given."""

    def __init__(self, program, *args, preexec_fn=None):
        self.args = with_option([program, *args], "--port", "0")
        if "--server" not in args:
            self.args += ["--engine", "tone"]
        self.preexec_fn = preexec_fn
        self.process = None
        self.port = None

    def __enter__(self):
        # Its log may hold bytes that are not UTF-8 (text a fuzzing client
        # sent): reading it must not fail the test.
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, errors="replace", preexec_fn=self.preexec_fn)
        line = self.process.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            self.process.kill()
            raise RuntimeError("vrelay-web did not start: " + line + self.process.stderr.read())
        self.port = int(found.group(1))
        return self

    def stop(self):
        """Ends the program with SIGTERM; returns its exit status and standard error."""
        self.process.terminate()
        try:
            _, err = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        return self.process.returncode, err

    def __exit__(self, exc_type, *exc):
        if self.process.poll() is None:
            status, err = self.stop()
            if exc_type is None and status != 0:
                raise AssertionError("vrelay-web ended with %s: %s" % (status, err))
        self.process.communicate()
        return False

    def alive(self):
        return self.process.poll() is None

    def http(self, request):
        """Sends a raw HTTP request; returns the whole answer (bytes)."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(request)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data
                data += chunk


def token(n=0):
    return "test%012d%016x" % (os.getpid(), n)


class Closed(Exception):
    def __init__(self, code, reason):
        super().__init__("closed %s %r" % (code, reason))
        self.code = code
        self.reason = reason


class WebSocket:
    """A minimal client: binary and text messages, answers pings, reads close."""

    def __init__(self, port, session=None, origin=None, timeout=30, source=None, headers=()):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET /speak?session=%s HTTP/1.1" % (session or token()),
                 "Host: 127.0.0.1:%d" % port, "Upgrade: websocket", "Connection: Upgrade",
                 "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13", *headers]
        if origin:
            lines.append("Origin: " + origin)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                break
            head += chunk
        self.status = int(head.split(b" ", 2)[1]) if head else 0
        self.buffer = b""

    def close_socket(self):
        self.sock.close()

    def send_frame(self, opcode, payload, fin=True):
        header = bytes([(0x80 if fin else 0) | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload)) if n < 4096 else \
            _mask(payload, mask)
        self.sock.sendall(header + mask + masked)

    def send(self, payload):
        self.send_frame(0x2, payload)

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Closed(None, "connection dropped")
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def receive(self):
        """The next data message (bytes); raises Closed at a close frame."""
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                try:
                    self.send_frame(0x8, payload[:2])  # the closing handshake's answer
                except OSError:
                    pass
                raise Closed(code, payload[2:].decode(errors="replace"))
            if opcode == 0x9:
                self.send_frame(0xA, payload)
                continue
            if opcode == 0xA:
                continue
            message += payload
            if b0 & 0x80:
                return message

    def messages(self):
        """(messages, close code, close reason) up to the close."""
        out = []
        try:
            while True:
                out.append(self.receive())
        except Closed as closed:
            return out, closed.code, closed.reason


def _mask(payload, mask):
    size = len(payload)
    key = int.from_bytes((mask * (size // 4 + 1))[:size], "big")
    return (int.from_bytes(payload, "big") ^ key).to_bytes(size, "big")


def speak(text, start=0, markup=False, rate=100, pitch=0, volume=100, voice=""):
    name = voice.encode()
    return (struct.pack("<BBHhHIB", SPEAK, 1 if markup else 0, rate, pitch, volume, start,
                        len(name)) + name + text.encode())


def played(samples):
    return struct.pack("<BI", PLAYED, samples)


def decode(message):
    """(kind, fields) of a bridge message."""
    kind = message[0]
    if kind == FORMAT:
        return kind, struct.unpack("<I", message[1:5])
    if kind == WORD:
        return kind, struct.unpack("<III", message[1:13])
    if kind == END:
        return kind, (message[1], struct.unpack("<I", message[2:6])[0], message[6:].decode())
    return kind, (len(message) - 1) // 2
