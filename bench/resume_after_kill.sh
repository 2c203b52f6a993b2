#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What a server dying costs a long text: vrelay-say speaking the GPL-3 through
# HAProxy in front of three vrelay-servers, the one serving it killed twice
# (scripts/resume_test.py, which also checks the resumed text). Prints the
# row of the performance report: the time from a kill to the next word,
# beside a fresh vrelay-say's first word through the same farm.
# Usage: bench/resume_after_kill.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}

source scripts/common.sh
release_build "${build}" vrelay-server vrelay-say
python3 scripts/resume_test.py --build "${build}" --row
