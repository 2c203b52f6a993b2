#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""vrelay-server stopped by signals while vrelay-say renders a long text into a
WAV file: within the grace time the render completes, byte for byte as on a
server left running; past it the client fails cleanly and soon; during the
grace new connections are refused; a second signal ends the server at once.

Usage: graceful_stop_test.py SERVER SAY
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SERVER, SAY = sys.argv[1:3]
TEXT = "/usr/share/common-licenses/GPL-3"


def start_server(grace, listen="127.0.0.1"):
    # One worker: two fresh servers synthesise the same text alike.
    server = subprocess.Popen([SERVER, "--port", "0", "--listen", listen, "--workers", "1",
                               "--grace", str(grace), "--log-level", "warning"],
                              stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline().strip()
    host = "[%s]" % listen if ":" in listen else listen
    assert line.startswith("listening on %s:" % host), line
    return server, "%s:%s" % (host, line.rsplit(":", 1)[1])


def say(address, text, wav):
    # Without a resume: the render ends with its only server, as this test's
    # subject is the server's way of ending.
    return subprocess.Popen([SAY, "--server", address, "--no-resume", "--marks", "-f", text,
                             "-o", wav],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def refused(host, port):
    try:
        socket.create_connection((host, port)).close()
        return False
    except ConnectionRefusedError:
        return True


def render(grace, text, folder, name, signals=1, listen="127.0.0.1"):
    """Renders text, sending the server `signals` SIGTERMs from 0.5 s on;
    returns (say's exit code, marks, errors, WAV bytes, seconds from the first
    SIGTERM to say's exit, the server's exit code)."""
    server, address = start_server(grace, listen)
    wav = os.path.join(folder, name)
    client = say(address, text, wav)
    time.sleep(0.5)
    server.send_signal(signal.SIGTERM)
    stopped = time.monotonic()
    if signals == 1:
        # New connections are refused once the server has the signal, while
        # the render goes on.
        while not refused(listen, int(address.rsplit(":", 1)[1])):
            time.sleep(0.02)
        assert client.poll() is None, "the render ended before the grace"
    for _ in range(signals - 1):
        time.sleep(0.2)
        server.send_signal(signal.SIGTERM)
    marks, errors = client.communicate(timeout=300)
    took = time.monotonic() - stopped
    with open(wav, "rb") as f:
        audio = f.read()
    return client.returncode, marks, errors, audio, took, server.wait(timeout=60)


def main():
    with tempfile.TemporaryDirectory(prefix="vrelay-stop-") as folder:
        server, address = start_server(30)
        reference = say(address, TEXT, os.path.join(folder, "reference.wav"))
        reference_marks = reference.communicate(timeout=300)[0]
        assert reference.returncode == 0
        server.terminate()
        assert server.wait(timeout=60) == 0
        with open(os.path.join(folder, "reference.wav"), "rb") as f:
            reference_audio = f.read()

        code, marks, errors, audio, _, server_code = render(30, TEXT, folder, "grace30.wav")
        assert (code, server_code) == (0, 0), errors
        assert marks == reference_marks and audio == reference_audio, "a render was cut"

        # Past the grace the render fails, saying why, within a second or so.
        long_text = os.path.join(folder, "long.txt")
        with open(TEXT) as f, open(long_text, "w") as out:
            out.write(f.read() * 3)
        code, _, errors, audio, took, server_code = render(1, long_text, folder, "grace1.wav")
        assert (code, server_code) == (1, 0), errors
        assert "server shutting down" in errors, errors
        assert 0.9 < took < 4, "the client ended %.2f s after SIGTERM" % took
        print("--grace 1: the client ended %.2f s after SIGTERM" % took)

        listen = "::1" if socket.has_ipv6 else "127.0.0.1"
        code, _, errors, _, took, server_code = render(30, long_text, folder, "twice.wav",
                                                       signals=2, listen=listen)
        assert server_code == -signal.SIGTERM and code == 1 and took < 10, (server_code, errors)
    print("ok")


if __name__ == "__main__":
    main()
