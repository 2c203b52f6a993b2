# SPDX-License-Identifier: MIT
"""A fuzzing WebSocket client against vrelay-web: garbage requests, broken
frames, mutated messages, sockets dropped mid-render and headers naming the
client behind a proxy, from a few threads at once. The bridge must keep
serving, give back every socket and thread once the clients are gone, and end
cleanly (under the sanitizers: with no report).

VRELAY_WEB_FUZZ_ROUNDS sets the number of client runs (default 300); the seed
is printed, and VRELAY_WEB_FUZZ_SEED repeats a run."""

import os
import random
import socket
import struct
import threading
import time
import unittest

from web_client import AUDIO, END, WebServer, WebSocket, decode, played, speak, token

PROGRAM = os.environ.get("VRELAY_WEB", "vrelay-web")
ROUNDS = int(os.environ.get("VRELAY_WEB_FUZZ_ROUNDS", "300"))
SEED = int(os.environ.get("VRELAY_WEB_FUZZ_SEED", str(random.randrange(1 << 32))))


def resources(pid):
    """(open descriptors, threads) of a process."""
    with open("/proc/%d/status" % pid) as status:
        threads = int(next(l for l in status if l.startswith("Threads:")).split()[1])
    return len(os.listdir("/proc/%d/fd" % pid)), threads


def raw_frame(rng, payload):
    """A frame with random flags, opcode, masking and length encoding."""
    b0 = rng.choice([0x80, 0x00, 0xC0]) | rng.choice([0x0, 0x1, 0x2, 0x3, 0x8, 0x9, 0xA, 0xF])
    n = len(payload)
    masked = rng.random() < 0.9
    if rng.random() < 0.05:
        header = bytes([b0, (0x80 if masked else 0) | 127]) + struct.pack(">Q", rng.randrange(1 << 63))
    elif n < 126 and rng.random() < 0.8:
        header = bytes([b0, (0x80 if masked else 0) | n])
    else:
        header = bytes([b0, (0x80 if masked else 0) | 126]) + struct.pack(">H", n & 0xFFFF)
    if masked:
        mask = bytes(rng.randrange(256) for _ in range(4))
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        header += mask
    return header + payload


def mutate(rng, message):
    data = bytearray(message)
    for _ in range(rng.randrange(1, 4)):
        choice = rng.random()
        if choice < 0.4 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif choice < 0.7:
            data = data[:rng.randrange(len(data) + 1)]
        else:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(8)))
    return bytes(data)


def sample_message(rng):
    text = rng.choice(["hello world", "\U0001F600 caf\u00e9 <b>x</b> &amp;", "one two " * 300,
                       "<s>open <prosody rate='x-slow'>never closed", ""])
    return rng.choice([
        speak(text, start=rng.randrange(len(text) + 2), markup=rng.random() < 0.5,
              rate=rng.choice([25, 100, 400, 999]), pitch=rng.choice([-90, 0, 300]),
              volume=rng.choice([0, 100, 201]), voice=rng.choice(["", "tone", "x" * 300])),
        bytes([0x02]), played(rng.randrange(1 << 32)), bytes([rng.randrange(256)])])


def forwarded(rng):
    """A header naming the client, as a proxy or anyone might write it."""
    hops = [rng.choice(["192.0.2.%d" % rng.randrange(256), "[2001:db8::%x]:80" % rng.randrange(9),
                        "::ffff:10.0.0.1", "unknown", "_hidden", '"[', "1.2.3.4:5:6", ""])
            for _ in range(rng.randrange(1, 4))]
    return rng.choice(["X-Forwarded-For: ", "Forwarded: for=", "Forwarded: proto=x;FOR="]) + \
        rng.choice([", ", ","]).join(hops)


def one_client(rng, port):
    try:
        kind = rng.random()
        if kind < 0.1:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
                s.recv(256)
            return
        ws = WebSocket(port, session=token(rng.randrange(8)), timeout=5,
                       headers=[forwarded(rng)] if rng.random() < 0.5 else [])
        try:
            for _ in range(rng.randrange(1, 6)):
                message = sample_message(rng)
                if rng.random() < 0.5:
                    message = mutate(rng, message)
                if kind < 0.5:
                    ws.sock.sendall(raw_frame(rng, message))
                else:
                    ws.send(message)
                if rng.random() < 0.3:
                    for _ in range(rng.randrange(4)):
                        fields = decode(ws.receive())
                        if fields[0] == AUDIO:
                            ws.send(played(rng.randrange(1 << 20)))
        finally:
            if rng.random() < 0.5:
                ws.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            ws.close_socket()
    except (OSError, Exception):  # the bridge may close on us at any point
        pass


class Fuzz(unittest.TestCase):
    def test_the_bridge_survives_a_fuzzing_client(self):
        print("fuzz seed %d, %d rounds" % (SEED, ROUNDS))
        with WebServer(PROGRAM, "--max-text", "4096", "--idle-timeout", "1",
                       "--max-sessions-per-address", "16", "--trusted-proxy", "127.0.0.1") as server:
            pid = server.process.pid
            probe = WebSocket(server.port, session=token(999))  # starts the session machinery
            probe.send(speak("warm"))
            probe.messages()
            probe.close_socket()
            before = resources(pid)
            rng = random.Random(SEED)
            seeds = [rng.randrange(1 << 32) for _ in range(ROUNDS)]
            workers = [threading.Thread(target=lambda part=part: [
                one_client(random.Random(s), server.port) for s in seeds[part::4]])
                for part in range(4)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            self.assertTrue(server.alive(), "vrelay-web died")
            ws = WebSocket(server.port, session=token(1000))
            ws.send(speak("still speaking"))
            messages, code, _ = ws.messages()
            self.assertEqual(decode(messages[-1])[1][0], 0)
            self.assertEqual(code, 1000)
            ws.close_socket()
            # Idle sessions close after a second; the sweep runs every five.
            deadline = time.monotonic() + 60
            left = lambda: [now - then for now, then in zip(resources(pid), before)]
            while max(left()) > 0 and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertLessEqual(max(left()), 0, "descriptors and threads left over: %s" % left())
            status, err = server.stop()
        self.assertEqual(status, 0, err)
        for report in ("Sanitizer", "runtime error", "terminate called"):
            self.assertNotIn(report, err)


if __name__ == "__main__":
    unittest.main()
