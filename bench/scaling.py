#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""How cost grows with the text and with the clients.

1. The main job (bench/say_vs_espeak.sh: vrelay-say --marks into a WAV file
   beside espeak-ng -w) on the text cut to a quarter and repeated 1, 4 and 16
   times: wall time, CPU and peak memory of each program, each size's cost
   per copy of the text against the single text's, whether both grow
   linearly (within 10%) and whether the memory stays flat (within 10%).
2. One vrelay-server (a worker per core, no per-address bound) with 1, 2, 4,
   8 and 16 vrelay-say clients each rendering the text into a WAV file:
   aggregate throughput (seconds of audio per second of wall time) and,
   meanwhile, a 10-word sentence's time to first audio through the Python
   package (median and worst of a few, a new connection each).
3. The same against three servers behind HAProxy (scripts/farm.py, one
   worker each) with 1, 3 and 9 clients.
4. An SVG plot of both throughput tables and the sentence's first audio.

Prints the tables as a markdown section ending in a link to the plot.
Usage: bench/scaling.py [BUILD_DIR] [--svg FILE] [--smoke]
  (default: build/release, docs/scaling.svg; --smoke: a few sentences, fewer
  sizes and clients, one run each, the plot into a temporary directory;
  parts whose programs are missing are skipped with the reason)
"""
import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from farm import Farm, FarmError, Server  # noqa: E402

TEXT = "/usr/share/common-licenses/GPL-3"
SENTENCE = "The quick brown fox jumps over the lazy dog near the river."
SENTENCE_BOUND_MS = 50
LINEAR = 0.10  # cost per copy within 10% of the single text's
# (copies of the text, runs): fewer runs of the long texts keep the whole
# set within a few minutes.
SIZES = [(0.25, 5), (1, 3), (4, 2), (16, 1)]
SMOKE_SIZES = [(0.25, 1), (1, 1), (4, 1)]
SERVER_CLIENTS = [1, 2, 4, 8, 16]
FARM_CLIENTS = [1, 3, 9]
SENTENCES = 5  # first-audio samples per load


def text_of(copies, base, directory):
    """A file of BASE repeated COPIES times (a quarter: cut at the paragraph
    end nearest a quarter of it)."""
    if copies < 1:
        cut = base.find("\n\n", int(len(base) * copies))
        body = base[:cut if cut > 0 else int(len(base) * copies)]
    else:
        body = "\n\n".join([base] * int(copies))
    path = os.path.join(directory, "text-%gx.txt" % copies)
    with open(path, "w", encoding="utf-8") as f:
        f.write(body)
    return path


def copies_name(copies):
    return "1/4" if copies == 0.25 else "%dx" % copies


def wav_directory():
    """Where the WAV files go: memory when the system has a tmpfs for it (16
    copies of GPL-3, or 16 clients, make 1.3 GB, and the disk's write-back
    would be timed with them)."""
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else tempfile.gettempdir()


def verdict(ours, espeak):
    """A yes/no cell for vrelay-say, espeak-ng's answer beside it."""
    return "%s (espeak-ng %s)" % ("yes" if ours else "**no**", "yes" if espeak else "no")


def main_job_rows(build, base, sizes, work):
    """The main job's table, each size measured by bench/say_vs_espeak.sh."""
    figures = {}
    for copies, runs in sizes:
        path = text_of(copies, base, work)
        out = subprocess.run([os.path.join(ROOT, "bench/say_vs_espeak.sh"), build, path,
                              str(runs), "--figures"], check=True, capture_output=True,
                             text=True, env=dict(os.environ, TMPDIR=wav_directory())).stdout
        figures[copies] = (runs, json.loads(out.strip().splitlines()[-1]))
    single = figures[1][1]

    def per_copy(copies, program, key):
        return figures[copies][1][program][key] / copies / single[program][key]

    lines = ["| text | runs | vrelay-say: wall, CPU, peak | per copy against 1x (wall, CPU) "
             "| espeak-ng -w: wall, CPU, peak | per copy against 1x (wall, CPU) "
             "| linear (within 10%) | memory flat (within 10%) |",
             "|---|---|---|---|---|---|---|---|"]
    for copies, (runs, f) in figures.items():
        cells, linear, flat = [], [], []
        for program in ("say", "espeak"):
            p = f[program]
            wall, cpu = per_copy(copies, program, "wall"), per_copy(copies, program, "cpu")
            cells.append("%.2f s, %.2f s, %.1f MB" % (p["wall"], p["cpu"], p["peak_kb"] / 1024))
            cells.append("%.2fx, %.2fx" % (wall, cpu))
            linear.append(abs(wall - 1) <= LINEAR and abs(cpu - 1) <= LINEAR)
            flat.append(p["peak_kb"] <= single[program]["peak_kb"] * (1 + LINEAR))
        lines.append("| %s | %d | %s | %s | %s | %s | %s | %s |" % (
            copies_name(copies), runs, *cells, verdict(*linear), verdict(*flat)))
    return lines


def audio_seconds(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()


def first_audio_ms(vrelay, port):
    """Milliseconds from asking for the sentence to its first audio, on a
    connection opened beforehand."""
    with vrelay.Connection("127.0.0.1", port) as connection:
        start = time.monotonic()
        for event in connection.events(SENTENCE):
            if isinstance(event, vrelay.Audio):
                return (time.monotonic() - start) * 1000
    raise RuntimeError("the sentence came without audio")


def under_load(build, vrelay, port, clients, text, work):
    """Runs CLIENTS vrelay-say renders of TEXT at once through PORT and
    samples the sentence's first audio meanwhile: (wall s, audio s,
    [first audio ms])."""
    say = os.path.join(build, "tools/vrelay-say")
    outputs = [os.path.join(work, "client%d.wav" % i) for i in range(clients)]
    start = time.monotonic()
    renders = [subprocess.Popen([say, "--server", "127.0.0.1:%d" % port, "-q", "-f", text,
                                 "-o", out]) for out in outputs]
    try:
        # The sentence is timed once every render has begun to write audio
        # (polled: a benchmark waiting for its load, not threads synchronising).
        while any(r.poll() is None for r in renders) and not all(
                os.path.exists(o) and os.path.getsize(o) > 44 for o in outputs):
            time.sleep(0.005)
        sentence = [first_audio_ms(vrelay, port) for _ in range(SENTENCES)]
        for r in renders:
            if r.wait() != 0:
                raise RuntimeError("a vrelay-say client failed (exit %d)" % r.returncode)
    finally:
        for r in renders:  # none left behind when the sentence failed
            if r.poll() is None:
                r.kill()
                r.wait()
    wall = time.monotonic() - start
    audio = sum(audio_seconds(o) for o in outputs)
    for o in outputs:
        os.remove(o)
    return wall, audio, sentence


def load_rows(build, vrelay, port, counts, text, work):
    """A load table's lines and its points for the plot: (clients,
    throughput, median first audio, worst first audio)."""
    alone = [first_audio_ms(vrelay, port) for _ in range(SENTENCES)]
    lines = ["| clients | wall | audio | throughput (audio s per wall s) | texts per minute "
             "| throughput against 1 client | the sentence's first audio: median (worst) "
             "| within %d ms |" % SENTENCE_BOUND_MS, "|---|---|---|---|---|---|---|---|",
             "| 0 | - | - | - | - | - | %.1f ms (%.1f ms) | %s |" % (
                 statistics.median(alone), max(alone),
                 "yes" if max(alone) <= SENTENCE_BOUND_MS else "**no**")]
    points, single = [], None
    for clients in counts:
        wall, audio, sentence = under_load(build, vrelay, port, clients, text, work)
        throughput = audio / wall
        single = single or throughput
        median, worst = statistics.median(sentence), max(sentence)
        points.append((clients, throughput, median, worst))
        lines.append("| %d | %.2f s | %.0f s | %.0f | %.1f | %.2fx | %.1f ms (%.1f ms) | %s |" % (
            clients, wall, audio, throughput, clients / wall * 60, throughput / single, median,
            worst, "yes" if worst <= SENTENCE_BOUND_MS else "**no**"))
    return lines, points


def svg_plot(series, path):
    """Two panels side by side - throughput and the sentence's first audio
    against the number of clients (log scale) - one line per load table."""
    width, height, margin = 860, 340, 60
    panel = (width - 3 * margin) / 2
    colours = ["#1f77b4", "#d62728"]
    max_clients = max(p[0] for _, points in series for p in points)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="sans-serif" font-size="12">' % (width, height),
           '<rect width="100%" height="100%" fill="white"/>']

    def ticks_to(high):
        """Round tick values from 0 to at least HIGH, five or fewer."""
        step = 10 ** math.floor(math.log10(high / 4))
        step *= next(m for m in (1, 2, 5, 10) if step * m * 4 >= high)
        return [step * i for i in range(5) if step * i < high + step]

    def x_of(left, clients):
        top = max(2.0, max_clients)
        return left + panel * math.log(clients) / math.log(top)

    for index, (title, column, unit) in enumerate(
            [("Aggregate throughput (audio s per wall s)", 1, ""),
             ("Sentence's first audio (ms; dashed: worst; dotted: 50 ms)", 2, " ms")]):
        left, bottom, top = margin + index * (panel + margin), height - margin, 40
        values = [p[column] for _, points in series for p in points]
        if column == 2:
            values += [p[3] for _, points in series for p in points]
        if column == 2:
            values.append(SENTENCE_BOUND_MS)
        ticks = ticks_to(max(values) or 1)
        high = ticks[-1]
        y_of = lambda v: bottom - (bottom - top) * v / high  # noqa: E731
        out.append('<text x="%.0f" y="24" font-weight="bold">%s</text>' % (left, title))
        out.append('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="black"/>'
                   % (left, bottom, left + panel, bottom))
        out.append('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="black"/>'
                   % (left, bottom, left, top))
        for v in ticks:
            out.append('<text x="%.1f" y="%.1f" text-anchor="end">%g%s</text>'
                       % (left - 4, y_of(v) + 4, v, unit))
        if column == 2:  # the bound the sentence should stay within
            out.append('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#999" '
                       'stroke-dasharray="1 3"/>' % (left, y_of(SENTENCE_BOUND_MS), left + panel,
                                                     y_of(SENTENCE_BOUND_MS)))
        for clients in sorted({p[0] for _, points in series for p in points}):
            out.append('<text x="%.1f" y="%.1f" text-anchor="middle">%d</text>'
                       % (x_of(left, clients), bottom + 16, clients))
        out.append('<text x="%.1f" y="%.1f" text-anchor="middle">clients</text>'
                   % (left + panel / 2, bottom + 34))
        for (name, points), colour in zip(series, colours):
            lines = [(column, "")] + ([(3, ' stroke-dasharray="4 3"')] if column == 2 else [])
            for field, dash in lines:
                coords = " ".join("%.1f,%.1f" % (x_of(left, p[0]), y_of(p[field]))
                                  for p in points)
                out.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"%s/>'
                           % (coords, colour, dash))
            for p in points:
                out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"/>'
                           % (x_of(left, p[0]), y_of(p[column]), colour))
    for index, ((name, _), colour) in enumerate(zip(series, colours)):
        y = height - 12
        x = margin + index * 260
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"/>'
                   % (x, y - 4, x + 20, y - 4, colour))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 26, y, name))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--svg", default=os.path.join(ROOT, "docs", "scaling.svg"))
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    subprocess.run(["bash", "-c", 'source scripts/common.sh && release_build "$@"', "build",
                    build, "vrelay_shared", "vrelay-server", "vrelay-say"], cwd=ROOT, check=True)
    os.environ["VRELAY_LIBRARY"] = os.path.join(build, "client", "libvrelay_shared.so.0")
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import vrelay

    with open(TEXT, encoding="utf-8") as f:
        base = f.read()
    sizes, server_counts, farm_counts = SIZES, SERVER_CLIENTS, FARM_CLIENTS
    if args.smoke:
        base = base[:base.find("\n\n", 1200)]
        sizes, server_counts, farm_counts = SMOKE_SIZES, [1, 2], [1, 3]
    name = os.path.basename(TEXT)
    work = tempfile.mkdtemp(prefix="vrelay-scaling-", dir=wav_directory())
    svg = os.path.join(work, "scaling.svg") if args.smoke else args.svg
    lines = ["## How cost grows", ""]
    try:
        missing = [p for p in ("hyperfine", "espeak-ng", "/usr/bin/time") if not shutil.which(p)]
        lines.append("Every WAV file is written to %s. The main job (as in the table above) on "
                     "%s cut to a quarter and repeated; wall time is the best of the runs, CPU "
                     "their mean (the embedded server's workers included):"
                     % (wav_directory(), name))
        lines.append("")
        if missing and args.smoke:
            lines.append("(skipped: %s not installed)" % ", ".join(missing))
        else:
            lines += main_job_rows(build, base, sizes, work)
        text = text_of(1, base, work)
        series = []
        lines += ["", "One vrelay-server (%d workers, no per-address bound), each client "
                  "`vrelay-say --server` rendering %s into a WAV file; meanwhile a 10-word "
                  "sentence through the Python package (%d times, a connection each; row 0: "
                  "no load):" % (os.cpu_count(), name, SENTENCES), ""]
        server = Server(build, work, "scaling", sessions=64, workers=os.cpu_count())
        try:
            table, points = load_rows(build, vrelay, server.port, server_counts, text, work)
        finally:
            server.stop()
        lines += table
        series.append(("one server (%d workers)" % os.cpu_count(), points))
        lines += ["", "Three servers (one worker each) behind HAProxy "
                  "(contrib/haproxy/vrelay.cfg), the same clients and sentence:", ""]
        if not shutil.which("haproxy") and args.smoke:
            lines.append("(skipped: haproxy not installed)")
        else:
            with Farm(build, servers=3, prefix="vrelay-scaling-farm-") as farm:
                table, points = load_rows(build, vrelay, farm.port, farm_counts, text, work)
            lines += table
            series.append(("three servers behind HAProxy", points))
        svg_plot(series, svg)
        lines += ["", "![Throughput and the sentence's first audio against the clients](%s)"
                  % os.path.relpath(svg, os.path.join(ROOT, "docs"))]
    except (FarmError, subprocess.CalledProcessError, RuntimeError) as error:
        print("scaling: %s%s" % (error, getattr(error, "stderr", None) or ""), file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
