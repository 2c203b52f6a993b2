#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI stage for the reference server as a deployed program: the abuse suite and
# the farm checks (two servers at capacity behind HAProxy; a long text through
# vrelay-say resumed after the servers speaking it die), in their CI-sized
# forms, against the plain build. About three minutes on two cores; each part
# is cut off by a time-out well above that. The markdown reports land in build/reports/. (The
# server's fuzz targets run with all the others in scripts/fuzz_smoke.sh.)
# Usage: scripts/server_ci.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
mkdir -p build/reports
echo "== server abuse suite (CI-sized)"
timeout 600 python3 scripts/abuse_test.py --ci --server "${build}/server/vrelay-server" \
    --report build/reports/server_abuse.md
echo "== two servers at capacity behind HAProxy (CI-sized)"
timeout 300 python3 scripts/haproxy_test.py --ci --build "${build}" --report build/reports/haproxy.md
echo "== a text resumed after its server dies, behind HAProxy"
timeout 300 python3 scripts/resume_test.py --build "${build}" --report build/reports/resume.md
