#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Throughput of the reference server's synthesis pool: one client rendering
# a long text alone, then two clients rendering it at the same time; a
# 10-word sentence alone and while another client renders the long text; the
# long text alone with one worker. Prints three rows of the performance
# report: the aggregate speed-up of two clients (2 * one client on one worker
# / together; 2.0: two clients cost no more than one), the sentence's wait,
# and one client on every worker against one worker.
# Usage: bench/server_two_clients.sh [BUILD_DIR] [TEXT_FILE] [WORKERS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
text=${2:-/usr/share/common-licenses/GPL-3}
workers=${3:-$(nproc)}

source scripts/common.sh
release_build "${build}" vrelay-server vrelay-say

out=$(mktemp -d)
server_pid=
trap 'kill "${server_pid}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "${out}"' EXIT
# (Re)starts the server with $1 workers; sets server_pid and port.
serve_with_workers() {
    [[ -z "${server_pid}" ]] || { kill "${server_pid}"; wait "${server_pid}" || true; }
    start_server server_pid port "${out}/server.txt" \
        "${build}/server/vrelay-server" --port 0 --workers "$1" --log-level error
}

say() { "${build}/tools/vrelay-say" --server "127.0.0.1:${port}" -q -f "${text}" -o "$1"; }
sentence="The quick brown fox jumps over the lazy dog near the river."
say_sentence() { "${build}/tools/vrelay-say" --server "127.0.0.1:${port}" -q -o "$1" "${sentence}"; }
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { print a - b }'; }
# The smaller of two numbers.
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b ? a : b) }'; }

serve_with_workers "${workers}"
say "${out}/warm.wav"  # voice data loaded into the workers
start=$(now)
say "${out}/alone.wav"
alone=$(since "${start}")
start=$(now)
say "${out}/a.wav" &
first=$!
say "${out}/b.wav"
wait "${first}"
together=$(since "${start}")

# The sentence, best of three, alone and while the long text is rendered.
short_alone=1e9
short_busy=1e9
for _ in 1 2 3; do
    start=$(now)
    say_sentence "${out}/s.wav"
    short_alone=$(least "${short_alone}" "$(since "${start}")")
    say "${out}/a.wav" &
    first=$!
    sleep 0.3  # well into the long text
    start=$(now)
    say_sentence "${out}/s.wav"
    short_busy=$(least "${short_busy}" "$(since "${start}")")
    wait "${first}"
done

serve_with_workers 1
say "${out}/warm.wav"
start=$(now)
say "${out}/one.wav"
one_worker=$(since "${start}")

# Rows of the performance report: figure | anchor | anchor figure | our
# figure | ratio | target | met.
# One client alone now uses every worker: the pool's throughput is measured
# against one client on one worker.
ratio=$(awk -v o="${one_worker}" -v t="${together}" 'BEGIN { printf "%.2f", 2 * o / t }')
met=$(awk -v r="${ratio}" 'BEGIN { print (r >= 1.7 ? "yes" : "**no**") }')
printf '| two clients rendering %s at once (%s workers): aggregate throughput | one client on one worker | %.2f s | %.2f s for both | %sx | at least 1.7x | %s |\n' \
    "$(basename "${text}")" "${workers}" "${one_worker}" "${together}" "${ratio}" "${met}"
# A unit of espeak-ng's (at most 160 words) takes about 0.1 s to synthesise.
wait_more=$(awk -v a="${short_alone}" -v b="${short_busy}" 'BEGIN { printf "%+.2f", b - a }')
met=$(awk -v w="${wait_more}" 'BEGIN { print (w <= 0.1 ? "yes" : "**no**") }')
printf '| a 10-word sentence into a WAV file while another client renders %s (%s workers) | the sentence alone | %.2f s | %.2f s | %s s | at most one unit (0.1 s) more | %s |\n' \
    "$(basename "${text}")" "${workers}" "${short_alone}" "${short_busy}" "${wait_more}" "${met}"
ratio=$(awk -v a="${alone}" -v o="${one_worker}" 'BEGIN { printf "%.2f", a / o }')
met=$(awk -v r="${ratio}" -v w="${workers}" 'BEGIN { print (w == 1 || r <= 0.65 ? "yes" : "**no**") }')
printf '| one client rendering %s on %s workers | the same on one worker | %.2f s | %.2f s | %sx | within 0.65x | %s |\n' \
    "$(basename "${text}")" "${workers}" "${one_worker}" "${alone}" "${ratio}" "${met}"
