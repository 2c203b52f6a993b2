#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds vrelay and runs its tests: a plain build with warnings as errors,
# then a build with AddressSanitizer and UndefinedBehaviorSanitizer, then the
# threaded layers (platform, transport, connection, client, server) and
# vrelay-web's bridge with ThreadSanitizer, then the Windows cross-build and its
# tests under Wine, then every fuzz target for a few seconds.
# Usage: scripts/test.sh [--quick]   (--quick: the plain build only)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
echo "== licence lines"
/usr/bin/python3 scripts/check_spdx.py

jobs=$(nproc 2>/dev/null || echo 2)
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

run_suite() {
    local dir=$1; shift
    echo "== build ${dir} ($*)"
    cmake -S . -B "${dir}" -DVRELAY_WERROR=ON "$@" >/dev/null
    cmake --build "${dir}" -j "${jobs}"
    echo "== test ${dir}"
    ctest --test-dir "${dir}" --output-on-failure -j "${jobs}"
}

run_suite build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
scripts/ci_install.sh build/plain
bench/run.sh --smoke
if [[ ${quick} -eq 0 ]]; then
    scripts/server_ci.sh build/plain
    echo "== clang thread-safety analysis of the threaded layers"
    cmake -S . -B build/clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVRELAY_WERROR=ON -DVRELAY_THREAD_SAFETY=ON -DVRELAY_TESTS=OFF >/dev/null
    cmake --build build/clang -j "${jobs}" --target vrelay_client vrelay_server
    # The load test runs longer under the sanitizers.
    export VRELAY_LOAD_SECONDS=30
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DVRELAY_SANITIZE=address,undefined
    tsan_targets=(platform_test transport_test connection_test client_test client_load_test
        server_test)
    echo "== build build/tsan (${tsan_targets[*]})"
    cmake -S . -B build/tsan -DVRELAY_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
        -DVRELAY_SANITIZE=thread >/dev/null
    cmake --build build/tsan -j "${jobs}" --target "${tsan_targets[@]}"
    echo "== test build/tsan"
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    for t in "${tsan_targets[@]}"; do
        exe=$(find build/tsan/tests -type f -name "$t" | head -n 1)
        "$exe" --gtest_brief=1
    done
    # vrelay-web's bridge threads, driven by the framing and fuzzing clients
    # (some rows against a vrelay-server of their own).
    cmake --build build/tsan -j "${jobs}" --target vrelay-web vrelay-server
    ctest --test-dir build/tsan --output-on-failure -R '^web_(framing|fuzz)$'
    scripts/windows.sh --ci
    scripts/fuzz_smoke.sh
fi
