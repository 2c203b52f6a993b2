#!/usr/bin/env bash
# CI stage for the reference server as a deployed program: the abuse suite and
# the three-servers-behind-HAProxy check, both in their CI-sized forms, against
# the plain build, then the server fuzz targets for a few seconds each. About
# 80 s on two cores, plus the fuzz build (about 2 min the first time); each
# part is cut off by a time-out well above that. The markdown reports land in
# build/reports/.
# Usage: scripts/server_ci.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
mkdir -p build/reports
echo "== server abuse suite (CI-sized)"
timeout 600 python3 scripts/abuse_test.py --ci --server "${build}/server/vrelay-server" \
    --report build/reports/server_abuse.md
echo "== three servers behind HAProxy (CI-sized)"
timeout 300 python3 scripts/haproxy_test.py --ci --build "${build}" --report build/reports/haproxy.md
echo "== server fuzz targets (a few seconds each)"
timeout 900 scripts/fuzz_server_ci.sh 5
