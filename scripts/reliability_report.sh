#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes docs/RELIABILITY.md from a fresh run: the misuse, fault and load test
# tables (every test suite whose name contains Misuse, Fault or Load, in any
# test executable of the build), the fuzz smoke run with its corpus sizes,
# the recorded long fuzz runs (fuzz/long_runs.md), the server's abuse report
# (a CI-sized run of scripts/abuse_test.py unless one is given) and the farm
# report (a CI-sized run of scripts/haproxy_test.py unless one is given).
# Usage: scripts/reliability_report.sh [server-report.md [farm-report.md]]
# Environment: VRELAY_REPORT_BUILD  build tree to use (default build/plain)
#              VRELAY_SERVER_REPORT server report (when no argument is given)
#              VRELAY_FARM_REPORT   farm report (when no second argument is given)
#              VRELAY_REPORT_FUZZ=0 leaves the fuzz smoke run out
#              VRELAY_REPORT_ABUSE=0 leaves the abuse run out
#              VRELAY_REPORT_FARM=0 leaves the farm run out
#              VRELAY_LOAD_SECONDS  length of the load run (default 30, as in CI)
# Exits non-zero when a test or fuzz target failed (the report is written
# all the same).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VRELAY_REPORT_BUILD:-build/plain}
server_report=${1:-${VRELAY_SERVER_REPORT:-}}
farm_report=${2:-${VRELAY_FARM_REPORT:-}}
results=${build}/reliability
rm -rf "${results}"
mkdir -p "${results}"

echo "== build ${build}"
if [[ ! -f ${build}/CMakeCache.txt ]]; then
    cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "${build}" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

export VRELAY_LOAD_SECONDS=${VRELAY_LOAD_SECONDS:-30}
failed=0
# Runs the suites whose names contain $1 from every test executable, one
# JSON result file per executable.
run_suites() {
    local kind=$1 exe suites
    while IFS= read -r exe; do
        suites=$("${exe}" --gtest_list_tests 2>/dev/null |
            sed -n "s/^\([^ ]*${kind}[^ ]*\)\.\( .*\)\?\$/\1.*/p" | paste -sd: -) || true
        [[ -z ${suites} ]] && continue
        echo "== ${kind}: $(basename "${exe}") ${suites}"
        "${exe}" --gtest_filter="${suites}" --gtest_brief=1 \
            --gtest_output="json:${results}/${kind}-$(basename "${exe}").json" || failed=1
    done < <(find "${build}/tests" -type f -perm -u+x -name '*_test' | sort)
}
for kind in Misuse Fault Load; do
    run_suites "${kind}"
done

fuzz_summary=
if [[ ${VRELAY_REPORT_FUZZ:-1} != 0 ]]; then
    fuzz_summary=${results}/fuzz.tsv
    FUZZ_SUMMARY=${PWD}/${fuzz_summary} scripts/fuzz_smoke.sh || failed=1
fi

if [[ -z ${server_report} && ${VRELAY_REPORT_ABUSE:-1} != 0 ]]; then
    server_report=${results}/server_abuse.md
    echo "== server abuse suite (CI-sized)"
    timeout 600 python3 scripts/abuse_test.py --ci --server "${build}/server/vrelay-server" \
        --report "${server_report}" || failed=1
fi

if [[ -z ${farm_report} && ${VRELAY_REPORT_FARM:-1} != 0 ]]; then
    farm_report=${results}/haproxy.md
    echo "== two servers at capacity behind HAProxy (CI-sized)"
    timeout 300 python3 scripts/haproxy_test.py --ci --build "${build}" \
        --report "${farm_report}" || failed=1
fi

python3 scripts/reliability_report.py --results "${results}" \
    --header include/vrelay/vrelay.h --fuzz-summary "${fuzz_summary}" \
    --fuzz-long fuzz/long_runs.md --server "${server_report}" --farm "${farm_report}" \
    --out docs/RELIABILITY.md
echo "wrote docs/RELIABILITY.md"
exit "${failed}"
