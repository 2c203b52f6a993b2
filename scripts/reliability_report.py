#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns the results gathered by reliability_report.sh into docs/RELIABILITY.md.

Each test table lists one row per test: its name, whether it passed, its time,
and the properties the test recorded (a recorded "returned" value is shown by
its vr_result name). Missing inputs leave a line saying what was not run.
"""
import argparse
import datetime
import glob
import json
import os
import re
import subprocess

SECTIONS = [
    ("Misuse", "Misuse table",
     "Application mistakes through the exported functions: each row's documented "
     "result, no crash, no leak, and the handle still renders afterwards."),
    ("Fault", "Fault table",
     "A misbehaving server, one row per way of failing: the result of vrRenderSpeech, "
     "the client log line, the time to return, and the handle renders again "
     "after a reopen or a cancel."),
    ("Load", "Load",
     "Many connections and threads sharing handles for a bounded time."),
]


def result_names(header):
    """Maps vr_result values to their names, read from the public header."""
    names = {}
    try:
        with open(header, encoding="utf-8") as f:
            for name, value in re.findall(r"\b(VR_[A-Z_]+)\s*=\s*(-?\d+)", f.read()):
                names.setdefault(value, name)
    except OSError:
        pass
    return names


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return lines


# Column titles for properties the tests record.
LABELS = {"returned": "returned", "return_ms": "ms to return", "log": "log line",
          "rss_kb_after_a_third": "resident kB after a third",
          "rss_kb_at_the_end": "resident kB at the end"}

STANDARD_KEYS = {"name", "status", "result", "timestamp", "time", "classname",
                 "failures", "value_param", "type_param", "file", "line"}


def test_rows(paths, names):
    """One row per test of the JSON result files, with its recorded properties."""
    cases = []
    for path in paths:
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        for suite in report.get("testsuites", []):
            for case in suite.get("testsuite", []):
                cases.append((suite["name"], case))
    extra = []
    for _, case in cases:
        for key in case:
            if key not in STANDARD_KEYS and key not in extra:
                extra.append(key)
    header = ["row", "outcome", "test time"] + [LABELS.get(key, key) for key in extra]
    rows = []
    failed = 0
    for suite, case in cases:
        name = case["name"].split("/", 1)[-1]
        if len({s for s, _ in cases}) > 1:
            name = suite.split("/")[-1] + ": " + name
        if case.get("failures"):
            outcome = "FAIL"
            failed += 1
        elif case.get("result") == "SKIPPED" or case.get("status") == "NOTRUN":
            outcome = "skipped"
        else:
            outcome = "pass"
        row = [name, outcome, case.get("time", "")]
        for key in extra:
            value = str(case.get(key, ""))
            # A recorded vr_result is shown by its name.
            row.append(names.get(value, value) if key == "returned" else value)
        rows.append(row)
    return header, rows, failed


def fuzz_lines(summary, long_runs):
    lines = ["## Fuzzing", ""]
    seeds = {}
    for directory in sorted(glob.glob("fuzz/corpus/*")):
        seeds[os.path.basename(directory)] = len(os.listdir(directory))
    if summary and os.path.exists(summary):
        rows = []
        with open(summary, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 6:
                    target, seconds, runs, units, size, result = parts
                    rows.append([target, seconds + " s", runs, seeds.get(target, 0),
                                 units, size, result])
        lines += ["Smoke run of every target, as in CI. The corpus columns count the "
                  "run's working corpus at its end: the seeds plus what earlier runs in "
                  "the same build tree found.", ""]
        lines += table(["target", "time", "runs", "seed inputs", "corpus inputs",
                        "corpus bytes", "result"], rows)
    else:
        lines += ["Smoke run: not run this time (VRELAY_REPORT_FUZZ=0)."]
    lines.append("")
    if long_runs and os.path.exists(long_runs):
        with open(long_runs, encoding="utf-8") as f:
            text = f.read().strip()
        # The file's own title is replaced by a subsection title.
        text = re.sub(r"\A#[^\n]*\n", "", text).strip()
        lines += ["### Long runs", "", text, ""]
    else:
        lines += ["Long runs: none recorded (fuzz/long_runs.md is missing).", ""]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--results", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--fuzz-summary", default="")
    parser.add_argument("--fuzz-long", default="")
    parser.add_argument("--server", default="")
    parser.add_argument("--farm", default="")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    names = result_names(args.header)
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=False).stdout.strip()
    except OSError:
        commit = ""
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = ["# Reliability", "",
             f"Written by `scripts/reliability_report.sh` on {now}"
             + (f" at commit {commit}" if commit else "") + "; do not edit by hand.", ""]

    for kind, title, description in SECTIONS:
        lines += [f"## {title}", "", description, ""]
        paths = sorted(glob.glob(os.path.join(args.results, f"{kind}-*.json")))
        if not paths:
            lines += [f"Not run: no test suite named *{kind}* in this build.", ""]
            continue
        header, rows, failed = test_rows(paths, names)
        lines += table(header, rows)
        lines += ["", f"{len(rows) - failed} of {len(rows)} rows pass.", ""]

    lines += fuzz_lines(args.fuzz_summary, args.fuzz_long)

    lines += ["## Server", ""]
    if args.server and os.path.exists(args.server):
        with open(args.server, encoding="utf-8") as f:
            text = f.read().strip()
        lines += [re.sub(r"\A#[^\n]*\n", "", text).strip(), ""]
    else:
        lines += ["The server's abuse figures are not included in this run "
                  "(pass the report file to `scripts/reliability_report.sh`).", ""]
    if args.farm and os.path.exists(args.farm):
        with open(args.farm, encoding="utf-8") as f:
            text = f.read().strip()
        # The farm report's title becomes a subsection of the server's.
        lines += ["#" + text, ""]
    else:
        lines += ["### Two servers behind HAProxy", "",
                  "The farm figures are not included in this run "
                  "(pass the report file to `scripts/reliability_report.sh`).", ""]

    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines).rstrip() + "\n")


if __name__ == "__main__":
    main()
