#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vrelay-web's time from Speak to the first sound in headless Chromium, for a
# sentence and for a 200 KB text, with the espeak-ng engine. Prints one
# markdown table row each. puppeteer-core comes from tests/web's lock file,
# installed into BUILD_DIR/tests/web on first use.
# Usage: bench/web_first_sound.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}

source scripts/common.sh
release_build "${build}" vrelay-web
modules=${build}/tests/web
/usr/bin/python3 -c "import sys; sys.path.insert(0, 'tests/web'); import browser_test; browser_test.node_modules('${modules}')"

out=$(mktemp -d)
trap 'kill "${web_pid}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "${out}"' EXIT
"${build}/web/vrelay-web" --port 0 >"${out}/web.txt" 2>&1 &
web_pid=$!
wait_for_line "${out}/web.txt" serving || true
url=$(grep -o 'http://[^ ]*/' "${out}/web.txt" | head -n 1)
[[ -n "${url}" ]] || { echo "vrelay-web did not start" >&2; exit 1; }
# Chromium on its own audio clock, muted and away from any sound server.
PULSE_SERVER=unix:${out}/none NODE_PATH="${modules}/node_modules" node bench/web_first_sound.js "${url}"
