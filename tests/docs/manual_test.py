# SPDX-License-Identifier: MIT
"""The reference manual as a reader sees it: headless Chromium opens the main
page and the public header's page (DevTools protocol over a pipe, no extra
packages), checks that the main page is the README and that the header's
tables are laid out as tables, and saves a full-page screenshot of each.
Usage: manual_test.py HTML_DIR SCREENSHOT_DIR"""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile

# The tables every manual must have, each found by a word of its first
# column: one row of cells side by side per line of the source table.
HEADER_TABLES = {
    "calls inside the callback": ("vrSetUserData", 5),
    "VRELAY_MESSAGES": ("stderr", 4),
    "frame layout": ("10+L", 5),
    "answer payloads": ("PACKET_DATA_9", 6),
    "callback arguments": ("user_data", 4),
    "ends of a request": ("refusing", 4),
}
README_TABLES = {"layout": ("transport/", 8), "answer packets": ("PACKET_DATA_9", 6)}

# Each table with a header row on the page (Doxygen lays out declarations in
# tables of its own, without one): its cells' text and boxes, row by row.
TABLES_JS = """JSON.stringify([...document.querySelectorAll('.contents table')]
    .filter(t => t.rows.length && t.rows[0].querySelector('th')).map(t => ({
  display: getComputedStyle(t).display,
  rows: [...t.rows].map(r => [...r.cells].map(c => {
    const b = c.getBoundingClientRect();
    return {text: c.innerText.trim(), left: b.left, right: b.right, top: b.top};
  }))
})))"""


class DevTools:
    """Chromium with the DevTools protocol on file descriptors 3 and 4."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="vrelay-manual-")
        to_browser, self.write_end = os.pipe()
        self.read_end, from_browser = os.pipe()

        def pipe_fds():  # in the child: the protocol's descriptors 3 and 4
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--remote-debugging-pipe", "--user-data-dir=" + self.profile,
             "about:blank"], preexec_fn=pipe_fds, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=None)
        os.close(to_browser)
        os.close(from_browser)
        self.pending = b""
        self.next_id = 0
        self.session = None
        self.events = []  # events that came while a call waited for its reply

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self.write_end, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.receive()
            if "method" in reply:
                self.events.append(reply["method"])
            elif reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def receive(self):
        """The next message; they end with a NUL byte."""
        while b"\0" not in self.pending:
            chunk = os.read(self.read_end, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed the DevTools pipe")
            self.pending += chunk
        message, self.pending = self.pending.split(b"\0", 1)
        return json.loads(message)

    def open(self, url):
        """Loads url in the browser's tab and waits for its load event."""
        if self.session is None:
            tab = next(t for t in self.call("Target.getTargets")["targetInfos"]
                       if t["type"] == "page")
            self.session = self.call("Target.attachToTarget", targetId=tab["targetId"],
                                     flatten=True)["sessionId"]
            self.call("Page.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=1100, height=900,
                  deviceScaleFactor=1, mobile=False)
        self.events.clear()
        self.call("Page.navigate", url=url)
        while "Page.loadEventFired" not in self.events:
            self.events.append(self.receive().get("method"))

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression,
                         returnByValue=True)["result"]["value"]

    def screenshot(self, path):
        """The whole page: the window is made as tall as the page first."""
        height = self.evaluate("document.documentElement.scrollHeight")
        self.call("Emulation.setDeviceMetricsOverride", width=1100, height=height,
                  deviceScaleFactor=1, mobile=False)
        shot = self.call("Page.captureScreenshot", format="png")
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


def is_table(table, rows):
    """Laid out as a table: at least rows rows, each of cells side by side."""
    return table["display"] == "table" and len(table["rows"]) >= rows and all(
        len(r) >= 2 and all(a["right"] <= b["left"] + 1 and abs(a["top"] - b["top"]) < 2
                            for a, b in zip(r, r[1:])) for r in table["rows"])


def check_tables(tables, expected, page):
    """Problems with the tables named in expected, as a list of lines."""
    problems = []
    for name, (word, rows) in expected.items():
        found = [t for t in tables if any(r and word in r[0]["text"] for r in t["rows"])]
        if not any(is_table(t, rows) for t in found):
            problems.append("%s: no table of the %s (%d rows, %r in the first column): %s"
                            % (page, name, rows, word, json.dumps(found)[:300]))
    return problems


def main():
    html, shots = sys.argv[1], sys.argv[2]
    if shutil.which("chromium") is None:
        print("chromium is not installed (scripts/setup.sh installs it)")
        return 77
    os.makedirs(shots, exist_ok=True)
    browser = DevTools()
    problems = []
    try:
        for page, expected in (("index.html", README_TABLES), ("vrelay_8h.html", HEADER_TABLES)):
            browser.open("file://" + os.path.abspath(os.path.join(html, page)))
            if page == "index.html":
                headings = browser.evaluate(
                    "[...document.querySelectorAll('.contents h1, .contents h2')]"
                    ".map(h => h.innerText.trim()).join('|')")
                if "Quick start" not in headings:
                    problems.append("index.html is not the README: its headings are %r"
                                    % headings)
            problems += check_tables(json.loads(browser.evaluate(TABLES_JS)), expected, page)
            browser.screenshot(os.path.join(shots, page.replace(".html", ".png")))
    finally:
        browser.close()
    print("\n".join(problems) or "the manual's tables are tables; screenshots in " + shots)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
