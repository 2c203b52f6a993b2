#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job on a fresh machine: installs what is missing, builds vrelay,
# speaks a sentence through the reference server into a WAV file and prints
# the start time of every word.
# Usage: scripts/say.sh [TEXT] [-- more vrelay-say options]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVRELAY_TESTS=OFF >/dev/null
cmake --build build/release -j "${jobs}" --target vrelay-say vrelay-server >/dev/null

text=${1:-"Hello, world. This is vrelay: every word you hear comes back with its own time."}
shift || true
[[ "${1:-}" == "--" ]] && shift

build/release/tools/vrelay-say --marks -o hello.wav "$@" -- "${text}"
echo "hello.wav is ready; play it with: aplay hello.wav   (or: play hello.wav)"
