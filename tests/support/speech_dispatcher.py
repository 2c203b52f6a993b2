# SPDX-License-Identifier: MIT
"""A private speech-dispatcher for tests and benchmarks, and an SSIP client.

The server runs set up as README.md tells users to: no AddModule line, so
that it finds its modules by itself (sd_vrelay with its embedded server,
beside espeak-ng's module), and "DefaultModule vrelay"; it plays through
PulseAudio in the environment it is given, and listens on a socket in the
caller's folder.

    dispatcher = SpeechDispatcher(folder, sound.env(), "build/speechd/sd_vrelay")
    with dispatcher.connect() as connection:
        client = SsipClient(connection)
        client.command("SET SELF CLIENT_NAME me:app:main")
    dispatcher.stop()
"""

import contextlib
import os
import shutil
import socket
import subprocess
import time

from sound_server import end_session

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Where Speech Dispatcher's packages put their modules.
MODULE_FOLDERS = ["/usr/lib/speech-dispatcher-modules", "/usr/libexec/speech-dispatcher-modules",
                  "/usr/lib64/speech-dispatcher-modules"]


def espeak_ng_module():
    """The installed espeak-ng module, or None."""
    return next((path for path in (os.path.join(f, "sd_espeak-ng") for f in MODULE_FOLDERS)
                 if os.access(path, os.X_OK)), None)


class SpeechDispatcher:
    """speech-dispatcher on a socket of its own, finding its modules by
    itself in a folder that holds sd_vrelay (the program at module) beside
    espeak-ng's module."""

    def __init__(self, folder, env, module):
        conf = os.path.join(folder, "conf")
        os.makedirs(os.path.join(conf, "modules"))
        shutil.copy(os.path.join(ROOT, "speechd", "vrelay.conf"),
                    os.path.join(conf, "modules", "vrelay.conf"))
        modules = os.path.join(folder, "modules")
        os.makedirs(modules)
        os.symlink(os.path.abspath(module), os.path.join(modules, "sd_vrelay"))
        os.symlink(espeak_ng_module(), os.path.join(modules, "sd_espeak-ng"))
        with open(os.path.join(conf, "speechd.conf"), "w") as f:
            f.write('AudioOutputMethod "pulse"\n'
                    'DefaultModule vrelay\nDefaultLanguage "en-GB"\n')
        self.socket = os.path.join(folder, "speechd.sock")
        self.env = dict(env, SPEECHD_ADDRESS="unix_socket:" + self.socket)
        self.process = subprocess.Popen(
            ["speech-dispatcher", "-s", "-t", "0", "-C", conf,
             "-m", modules, "-c", "unix_socket",
             "-S", self.socket, "-P", os.path.join(folder, "speechd.pid"),
             "-L", folder], env=self.env, start_new_session=True,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError), self.connect():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)  # waiting for the program to start listening
        self.stop()
        raise RuntimeError("speech-dispatcher did not start")

    def connect(self):
        client = socket.socket(socket.AF_UNIX)
        try:
            client.connect(self.socket)
        except OSError:
            client.close()
            raise
        return client

    def stop(self):
        end_session(self.process)


class SsipClient:
    """Commands and notifications over SSIP, a line at a time."""

    def __init__(self, connection):
        self.connection = connection
        self.lines = connection.makefile("rb")

    def reply(self):
        lines = []
        while True:
            line = self.lines.readline().decode("utf-8").rstrip("\r\n")
            if not line:
                raise EOFError("speech-dispatcher closed the connection")
            lines.append(line)
            if len(line) > 3 and line[3] == " ":
                return lines

    def command(self, text):
        self.connection.sendall(text.encode("utf-8") + b"\r\n")
        return self.reply()
