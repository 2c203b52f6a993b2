#!/usr/bin/env bash
# Builds the server's libFuzzer targets (clang) and runs each from its seed
# corpus for a few seconds: frame reading and markup conversion. About two
# minutes on two cores, most of it the build.
# Usage: scripts/fuzz_server_ci.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
VRELAY_WITH_FUZZ=1 scripts/setup.sh
targets=(server_frame_fuzz server_markup_fuzz)
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DVRELAY_FUZZ=ON -DVRELAY_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"
for target in "${targets[@]}"; do
    # A scratch copy: new inputs found here do not land in the checked-in seeds.
    corpus=$(mktemp -d)
    cp fuzz/corpus/"${target}"/* "${corpus}"/
    echo "== fuzz ${target} (${seconds} s)"
    if ! build/fuzz/fuzz/"${target}" -max_total_time="${seconds}" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="${corpus}/" "${corpus}" >"${corpus}.log" 2>&1; then
        tail -n 40 "${corpus}.log"
        echo "${target} found a failure" >&2
        exit 1
    fi
    grep -E "^Done" "${corpus}.log"
    rm -f "${corpus}.log"
    rm -rf "${corpus}"
done
