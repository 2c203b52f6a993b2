#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job on a fresh machine: installs what building vrelay-say needs
# when it is missing, builds it, speaks a sentence through the reference
# server inside it into hello.wav, and prints the start time of every word.
# Where a sound server runs, the sentence is heard as it is written.
# Usage: scripts/say.sh [TEXT] [-- more vrelay-say options]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

scripts/setup.sh say
log=build/release-say.log
mkdir -p build
if ! release_build build/release vrelay-say vrelay-server >"${log}" 2>&1; then
    tail -n 40 "${log}" >&2
    echo "the build failed; its whole output is in ${log}" >&2
    exit 1
fi

text=${1:-"Hello, world. This is vrelay: every word you hear comes back with its own time."}
shift || true
[[ "${1:-}" == "--" ]] && shift

# A PulseAudio or PipeWire sound server of this user, or the system's.
sound_server() {
    [[ -n ${PULSE_SERVER:-} ]] && return 0
    local dir
    for dir in "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse" /run/pulse /var/run/pulse; do
        [[ -S ${dir}/native ]] && return 0
    done
    return 1
}

say=(build/release/tools/vrelay-say --marks -o hello.wav "$@" -- "${text}")
if sound_server; then
    status=0
    "${say[0]}" --play "${say[@]:1}" || status=$?
    if [[ ${status} -eq 0 ]]; then
        echo "hello.wav is ready; you heard it as it was written"
        exit 0
    fi
    # 7: the sound server did not answer; vrelay-say said so. The file alone.
    [[ ${status} -eq 7 ]] || exit "${status}"
fi
"${say[@]}"
# Players that need no sound server first.
for player in aplay play mpv paplay pw-play; do
    if command -v "${player}" >/dev/null; then
        echo "hello.wav is ready; play it with: ${player} hello.wav"
        exit 0
    fi
done
echo "hello.wav is ready; to hear it install a player (apt-get install alsa-utils)" \
     "and run: aplay hello.wav"
