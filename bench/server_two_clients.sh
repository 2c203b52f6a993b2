#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Throughput of the reference server's synthesis pool: one client rendering
# a long text alone, then two clients rendering it at the same time. Prints
# one markdown table row:
#   | workers | one alone (s) | two at once (s) | aggregate speed-up |
# The speed-up is 2 * alone / together (2.0: two clients cost no more than one).
# Usage: bench/server_two_clients.sh [BUILD_DIR] [TEXT_FILE] [WORKERS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
text=${2:-/usr/share/common-licenses/GPL-3}
workers=${3:-$(nproc)}

if [[ ! -x "${build}/server/vrelay-server" || ! -x "${build}/tools/vrelay-say" ]]; then
    cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=Release -DVRELAY_TESTS=OFF >/dev/null
    cmake --build "${build}" -j 2 --target vrelay-server vrelay-say >/dev/null
fi

out=$(mktemp -d)
trap 'kill "${server_pid}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "${out}"' EXIT
"${build}/server/vrelay-server" --port 0 --workers "${workers}" --log-level error \
    >"${out}/server.txt" &
server_pid=$!
for _ in $(seq 100); do
    grep -q "listening on" "${out}/server.txt" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "${out}/server.txt")
[[ -n "${port}" ]] || { echo "the server did not start" >&2; exit 1; }

say() { "${build}/tools/vrelay-say" --server "127.0.0.1:${port}" -q -f "${text}" -o "$1"; }
now() { date +%s.%N; }

say "${out}/warm.wav"  # voice data loaded into the workers
start=$(now)
say "${out}/alone.wav"
alone=$(awk -v a="$(now)" -v b="${start}" 'BEGIN { print a - b }')
start=$(now)
say "${out}/a.wav" &
first=$!
say "${out}/b.wav"
wait "${first}"
together=$(awk -v a="$(now)" -v b="${start}" 'BEGIN { print a - b }')

# One row of the performance report: figure | anchor | anchor figure | our
# figure | ratio | target | met.
ratio=$(awk -v a="${alone}" -v t="${together}" 'BEGIN { printf "%.2f", 2 * a / t }')
met=$(awk -v r="${ratio}" 'BEGIN { print (r >= 1.7 ? "yes" : "**no**") }')
printf '| two clients rendering %s at once (%s workers): aggregate throughput | one client alone | %.2f s | %.2f s for both | %sx | at least 1.7x | %s |\n' \
    "$(basename "${text}")" "${workers}" "${alone}" "${together}" "${ratio}" "${met}"
