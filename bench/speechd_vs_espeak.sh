#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Latency as a screen reader feels it: sd_vrelay (with its embedded server)
# and espeak-ng's own Speech Dispatcher module, each driven through its pipes
# as Speech Dispatcher drives it. Times SPEAK to the first 705 AUDIO for one
# word, for a 10-word sentence and for one word right after a STOP (what a
# screen reader does at every key), and STOP to 703 STOP in a long message;
# prints four rows of the performance report:
# figure | anchor | anchor figure | our figure | ratio | target | met.
# Usage: bench/speechd_vs_espeak.sh [BUILD_DIR] [RUNS]   (default: build/release, 30)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
runs=${2:-30}
VRELAY_WITH_BENCH=1 scripts/setup.sh
source scripts/common.sh

release_build "${build}" sd_vrelay
espeak_module=/usr/lib/speech-dispatcher-modules/sd_espeak-ng
espeak_conf=/etc/speech-dispatcher/modules/espeak-ng.conf
[[ -x ${espeak_module} ]] || { echo "speech-dispatcher-espeak-ng is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
: >"${work}/vrelay.conf"  # no server address: the module starts its own

/usr/bin/python3 - "${build}/speechd/sd_vrelay" "${work}/vrelay.conf" "${espeak_module}" \
    "${espeak_conf}" "${runs}" <<'PY'
import statistics, subprocess, sys, time

ours, our_conf, anchor, anchor_conf, runs = sys.argv[1:6]
runs = int(runs)
WORD = "<speak>Hello.</speak>"
SENTENCE = "<speak>The quick brown fox jumps over the lazy dog every morning.</speak>"
LONG = "<speak>" + "This sentence is one of many in a long message. " * 40 + "</speak>"


class Module:
    def __init__(self, program, config):
        self.process = subprocess.Popen([program, config], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.send("INIT\n")
        self.until("299 ")
        self.send("AUDIO\naudio_output_method=server\n.\n")
        self.until("203 ")
        self.send("SET\nrate=0\npitch=0\nvoice=male1\nlanguage=en-GB\nsynthesis_voice=NULL\n.\n")
        self.until("203 OK SETTINGS")

    def send(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def until(self, prefix):
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("the module ended")
            if line.startswith(prefix.encode()):
                return

    def first_audio(self, ssml):
        """Seconds from SPEAK to the first audio; the message is then heard out."""
        start = time.perf_counter()
        self.send("SPEAK\n")
        self.until("202 ")
        self.send(ssml + "\n.\n")
        self.until("705-")
        took = time.perf_counter() - start
        self.until("702 END")
        return took

    def stop(self):
        """Seconds from STOP, sent once audio flows, to 703 STOP."""
        self.send("SPEAK\n")
        self.until("202 ")
        self.send(LONG + "\n.\n")
        self.until("705 AUDIO")
        start = time.perf_counter()
        self.send("STOP\n")
        self.until("703 STOP")
        return time.perf_counter() - start

    def close(self):
        self.send("QUIT\n")
        self.process.wait(timeout=30)


modules = {"ours": Module(ours, our_conf), "anchor": Module(anchor, anchor_conf)}
times = {(who, what): [] for who in modules
         for what in ("word", "sentence", "stop", "after stop")}
for who, module in modules.items():  # one warm-up message each
    module.first_audio(SENTENCE)
for _ in range(runs):
    for who, module in modules.items():
        times[who, "sentence"].append(module.first_audio(SENTENCE))
        times[who, "word"].append(module.first_audio(WORD))
        times[who, "stop"].append(module.stop())
        times[who, "after stop"].append(module.first_audio(WORD))
for module in modules.values():
    module.close()

median = {key: statistics.median(values) * 1000 for key, values in times.items()}
rows = [("word", "SPEAK to first 705 AUDIO, one word", 10),
        ("sentence", "SPEAK to first 705 AUDIO, 10-word sentence", 10),
        ("after stop", "SPEAK to first 705 AUDIO, one word right after a STOP", 10)]
for what, figure, margin in rows:
    a, o = median["anchor", what], median["ours", what]
    print(f"| Speech Dispatcher module: {figure} (median of {runs}) "
          f"| sd_espeak-ng driven the same way | {a:.2f} ms | {o:.2f} ms | {o - a:+.2f} ms "
          f"| within {margin} ms of it | {'yes' if o - a <= margin else '**no**'} |")
a, o = median["anchor", "stop"], median["ours", "stop"]
print(f"| Speech Dispatcher module: STOP to 703 STOP in a long message (median of {runs}) "
      f"| sd_espeak-ng driven the same way | {a:.2f} ms | {o:.2f} ms | {o / a:.2f}x "
      f"| under 50 ms | {'yes' if o < 50 else '**no**'} |")
PY
