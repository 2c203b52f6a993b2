# SPDX-License-Identifier: MIT
"""Runs browser_test.js: vrelay-web with the tone engine, headless Chromium
(muted, and kept away from any sound server, so that its audio clock is its
own and nothing is heard), puppeteer-core from the lock file (installed with
npm ci into the build folder when missing).
Then a text whose speech server dies with the request in flight, against two
espeak-ng servers (VRELAY_SERVER).
Usage: browser_test.py VRELAY_WEB BUILD_FOLDER"""

import os
import shutil
import subprocess
import sys

from web_client import SpeechServer, WebServer

HERE = os.path.dirname(os.path.abspath(__file__))


def node_modules(folder):
    """puppeteer-core as the lock file pins it, in folder/node_modules."""
    installed = os.path.join(folder, "node_modules", "puppeteer-core", "package.json")
    lock = os.path.join(HERE, "package-lock.json")
    stamp = os.path.join(folder, "node_modules", ".lock-copy")
    if os.path.exists(installed) and os.path.exists(stamp) and \
            open(stamp).read() == open(lock).read():
        return
    os.makedirs(folder, exist_ok=True)
    for name in ("package.json", "package-lock.json"):
        shutil.copyfile(os.path.join(HERE, name), os.path.join(folder, name))
    subprocess.run(["npm", "ci", "--prefer-offline", "--no-audit", "--no-fund",
                    "--loglevel=error"], cwd=folder, check=True)
    shutil.copyfile(lock, stamp)


def main():
    program, build = sys.argv[1], sys.argv[2]
    for tool in ("node", "npm", "chromium"):
        if shutil.which(tool) is None:
            print("%s is not installed (scripts/setup.sh installs it)" % tool)
            return 1
    node_modules(build)
    shots = os.path.join(build, "screenshots")
    os.makedirs(shots, exist_ok=True)
    env = dict(os.environ, NODE_PATH=os.path.join(build, "node_modules"),
               PULSE_SERVER="unix:" + os.path.join(build, "no-sound-server"))

    def run(web, *args):
        result = subprocess.run(["node", os.path.join(HERE, "browser_test.js"),
                                 "http://127.0.0.1:%d/" % web.port, shots, *args], env=env)
        status, err = web.stop()
        if status != 0:
            print("vrelay-web ended with %s:\n%s" % (status, err))
            return 1, err
        return result.returncode, err

    with WebServer(program) as web:
        failed, _ = run(web)
    # A text whose server dies with the request in flight: two espeak-ng
    # servers, the first one killed; the page must light every word once.
    with SpeechServer("--workers", "0") as first, SpeechServer("--workers", "0") as second, \
            WebServer(program, "--server", first.address + "," + second.address) as web:
        resumed, _ = run(web, "--kill", str(first.process.pid), first.address.rsplit(":", 1)[1])
        if resumed == 0 and second.sessions_opened() == 0:
            print("the second server was never asked")
            resumed = 1
    return failed or resumed


if __name__ == "__main__":
    sys.exit(main())
