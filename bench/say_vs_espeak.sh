#!/usr/bin/env bash
# Times the main job - vrelay-say speaking a text into a WAV file and printing
# every word's time - against espeak-ng writing the same text into a WAV
# file, side by side with hyperfine, and prints one markdown table row:
#   | text | vrelay-say | espeak-ng -w | ratio | vrelay-say peak RSS | espeak-ng peak RSS |
# Usage: bench/say_vs_espeak.sh [TEXT_FILE] [RUNS]
#   (default: the GPL-3 licence text, 5 runs)
set -euo pipefail
cd "$(dirname "$0")/.."

text=${1:-/usr/share/common-licenses/GPL-3}
runs=${2:-5}
VRELAY_WITH_BENCH=1 scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVRELAY_TESTS=OFF >/dev/null
cmake --build build/release -j "${jobs}" --target vrelay-say >/dev/null
say=build/release/tools/vrelay-say

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
print(f"| {sys.argv[2]} | {say:.2f} s | {espeak:.2f} s | {say / espeak:.2f}x "
      f"| {int(sys.argv[3]) / 1024:.1f} MB | {int(sys.argv[4]) / 1024:.1f} MB |")
PY
