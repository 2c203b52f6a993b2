#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the main job - vrelay-say speaking a text into a WAV file and printing
# every word's time - against espeak-ng writing the same text into a WAV
# file, side by side with hyperfine, and prints two rows of the performance
# report (wall time, then processor time): figure | anchor | anchor figure |
# our figure | ratio | target | met.
# Usage: bench/say_vs_espeak.sh [BUILD_DIR] [TEXT_FILE] [RUNS]
#   (default: build/release, the GPL-3 licence text, 5 runs)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
text=${2:-/usr/share/common-licenses/GPL-3}
runs=${3:-5}
VRELAY_WITH_BENCH=1 scripts/setup.sh
source scripts/common.sh

release_build "${build}" vrelay-say
say=${build}/tools/vrelay-say

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
say_cmd="${say} -q --marks -f ${text} -o ${work}/say.wav > /dev/null"
espeak_cmd="espeak-ng -w ${work}/espeak.wav -f ${text}"

hyperfine --style none --warmup 1 --runs "${runs}" --export-json "${work}/times.json" \
    "${say_cmd}" "${espeak_cmd}" >/dev/null

# Peak resident memory in kilobytes, from GNU time.
peak() { /usr/bin/time -f %M sh -c "$1" 2>&1 >/dev/null | tail -n 1; }
say_kb=$(peak "${say_cmd}")
espeak_kb=$(peak "${espeak_cmd}")

python3 - "${work}/times.json" "$(basename "${text}")" "${say_kb}" "${espeak_kb}" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
say, espeak = (r["mean"] for r in results)
# Processor time of the whole process tree (the tool, its embedded server and
# the server's synthesis workers; espeak-ng alone), user and system.
say_cpu, espeak_cpu = (r["user"] + r["system"] for r in results)
ratio = say / espeak
cpu_ratio = say_cpu / espeak_cpu
print(f"| main job: vrelay-say --marks, {sys.argv[2]} into a WAV file "
      f"(peak memory {int(sys.argv[3]) / 1024:.1f} MB, espeak-ng {int(sys.argv[4]) / 1024:.1f} MB) "
      f"| espeak-ng -w on the same text | {espeak:.2f} s | {say:.2f} s | {ratio:.2f}x "
      f"| at most 0.55x | {'yes' if ratio <= 0.55 else '**no**'} |")
print(f"| main job: its processor time (user and system, every process) "
      f"| espeak-ng -w on the same text | {espeak_cpu:.2f} s | {say_cpu:.2f} s | {cpu_ratio:.2f}x "
      f"| at most 1.03x | {'yes' if cpu_ratio <= 1.03 else '**no**'} |")
PY
