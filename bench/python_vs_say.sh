#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the Python package's render() of a long text, saved as a WAV file,
# against vrelay-say --server doing the same on the same server, side by side
# with hyperfine, and measures the Python process's peak memory against the
# size of the audio it holds. Prints one row of the performance report:
# figure | anchor | anchor figure | our figure | ratio | target | met.
# Usage: bench/python_vs_say.sh [BUILD_DIR] [TEXT_FILE] [RUNS]
#   (default: build/release, the GPL-3 licence text, 5 runs)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
text=${2:-/usr/share/common-licenses/GPL-3}
runs=${3:-5}
VRELAY_WITH_BENCH=1 scripts/setup.sh

source scripts/common.sh
release_build "${build}" vrelay_shared vrelay-server vrelay-say

work=$(mktemp -d)
server_pid=
trap 'kill "${server_pid}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "${work}"' EXIT
start_server server_pid port "${work}/server.txt" \
    "${build}/server/vrelay-server" --port 0 --log-level error

cat >"${work}/render.py" <<'PY'
import sys
import vrelay
with open(sys.argv[2], encoding="utf-8") as source:
    text = source.read()
with vrelay.Connection("127.0.0.1", int(sys.argv[1])) as connection:
    connection.render(text).save_wav(sys.argv[3])
PY
export PYTHONPATH=${PWD}/python VRELAY_LIBRARY=${PWD}/${build}/client/libvrelay_shared.so.0
python_cmd="/usr/bin/python3 ${work}/render.py ${port} ${text} ${work}/python.wav"
say_cmd="${build}/tools/vrelay-say --server 127.0.0.1:${port} -q -f ${text} -o ${work}/say.wav"

hyperfine --style none --warmup 1 --runs "${runs}" --export-json "${work}/times.json" \
    "${say_cmd}" "${python_cmd}" >/dev/null
python_kb=$(/usr/bin/time -f %M sh -c "${python_cmd}" 2>&1 >/dev/null | tail -n 1)
audio_bytes=$(($(stat -c %s "${work}/python.wav") - 44))

/usr/bin/python3 - "${work}/times.json" "$(basename "${text}")" "${python_kb}" "${audio_bytes}" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
say, python = (r["mean"] for r in results)
say_cpu, python_cpu = (r["user"] + r["system"] for r in results)
peak, audio = int(sys.argv[3]) * 1024, int(sys.argv[4])
ratio, memory = python / say, peak / audio
met = ratio <= 1.1 and memory <= 1.2
print(f"| Python `render()` of {sys.argv[2]}, saved as WAV (peak memory {peak / 2**20:.1f} MB "
      f"for {audio / 2**20:.1f} MB of audio: {memory:.2f}x; CPU {python_cpu:.2f} s, "
      f"vrelay-say's {say_cpu:.2f} s) "
      f"| vrelay-say --server on the same server and text | {say:.2f} s | {python:.2f} s "
      f"| {ratio:.2f}x | within 1.1x, memory at most 1.2x the audio "
      f"| {'yes' if met else '**no**'} |")
PY
