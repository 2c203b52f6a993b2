#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the main job - vrelay-say speaking a text into a WAV file and printing
# every word's time - against espeak-ng writing the same text into a WAV
# file, side by side with hyperfine, and prints two rows of the performance
# report (wall time, then processor time): figure | anchor | anchor figure |
# our figure | ratio | target | met.
# Usage: bench/say_vs_espeak.sh [BUILD_DIR] [TEXT_FILE] [RUNS] [--figures]
#   (default: build/release, the GPL-3 licence text, 5 runs)
#   --figures: print the measurements as one JSON object instead of the row
#   (best wall time, mean CPU time, peak memory of each program; the scaling
#   benchmark takes them). One run has no warm-up run before it.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
text=${2:-/usr/share/common-licenses/GPL-3}
runs=${3:-5}
figures=${4:-}
VRELAY_WITH_BENCH=1 scripts/setup.sh
source scripts/common.sh

release_build "${build}" vrelay-say
say=${build}/tools/vrelay-say

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
# GNU time appends each run's peak resident memory (KB) to a file of its own.
say_cmd="/usr/bin/time -a -o ${work}/say.kb -f %M ${say} -q --marks -f ${text} -o ${work}/say.wav > /dev/null"
espeak_cmd="/usr/bin/time -a -o ${work}/espeak.kb -f %M espeak-ng -w ${work}/espeak.wav -f ${text}"

hyperfine --style none --warmup $((runs > 1 ? 1 : 0)) --runs "${runs}" \
    --export-json "${work}/times.json" "${say_cmd}" "${espeak_cmd}" >/dev/null

python3 - "${work}" "$(basename "${text}")" "${figures}" <<'PY'
import json, os, sys
work, name, figures = sys.argv[1:]
say, espeak = json.load(open(os.path.join(work, "times.json")))["results"]
def peak_kb(program):
    with open(os.path.join(work, program + ".kb")) as runs:
        return max(int(line) for line in runs if line.strip().isdigit())
if figures == "--figures":
    print(json.dumps({program: {"wall": r["min"], "cpu": r["user"] + r["system"],
                                "peak_kb": peak_kb(program)}
                      for program, r in (("say", say), ("espeak", espeak))}))
    sys.exit()
ratio = say["mean"] / espeak["mean"]
# Processor time of the whole process tree (the tool, its embedded server and
# the server's synthesis workers; espeak-ng alone), user and system.
say_cpu, espeak_cpu = (r["user"] + r["system"] for r in (say, espeak))
cpu_ratio = say_cpu / espeak_cpu
print(f"| main job: vrelay-say --marks, {name} into a WAV file "
      f"(peak memory {peak_kb('say') / 1024:.1f} MB, espeak-ng {peak_kb('espeak') / 1024:.1f} MB) "
      f"| espeak-ng -w on the same text | {espeak['mean']:.2f} s | {say['mean']:.2f} s | {ratio:.2f}x "
      f"| at most 0.55x | {'yes' if ratio <= 0.55 else '**no**'} |")
print(f"| main job: its processor time (user and system, every process) "
      f"| espeak-ng -w on the same text | {espeak_cpu:.2f} s | {say_cpu:.2f} s | {cpu_ratio:.2f}x "
      f"| at most 1.03x | {'yes' if cpu_ratio <= 1.03 else '**no**'} |")
PY
