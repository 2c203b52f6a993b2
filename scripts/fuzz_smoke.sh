#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every libFuzzer target in fuzz/ with clang (in build/fuzz) and runs
# each for a few seconds from its seed corpus, printing the runs made and the
# corpus size reached. New inputs go to build/fuzz/corpus/<target>, never into
# the checked-in seeds. Exits non-zero when a target finds a crash, leak or
# time-out (the input is saved under build/fuzz/artifacts/).
# Usage: scripts/fuzz_smoke.sh [seconds per target [target...]]
#   (default: 3 seconds, every target)
# Writes a summary, one "target seconds runs corpus-units corpus-bytes result"
# line per target, to build/fuzz/summary.tsv (or to $FUZZ_SUMMARY).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-3}
shift || true
VRELAY_WITH_FUZZ=1 scripts/setup.sh

dir=build/fuzz
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for source in fuzz/*_fuzz.cpp; do
        targets+=("$(basename "${source}" .cpp)")
    done
fi

echo "== build ${dir} (${#targets[@]} fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVRELAY_FUZZ=ON -DVRELAY_TESTS=OFF >/dev/null
cmake --build "${dir}" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null

echo "== fuzz ${seconds}s each"
mkdir -p "${dir}/artifacts"
summary=${FUZZ_SUMMARY:-${dir}/summary.tsv}
: >"${summary}"
failed=0
printf '%-24s %10s %8s %10s  %s\n' target runs corpus bytes result
for t in "${targets[@]}"; do
    exe=$(find "${dir}" -type f -name "${t}" -perm -u+x | head -n 1)
    work=${dir}/corpus/${t}
    mkdir -p "${work}"
    seeds=()
    [[ -d fuzz/corpus/${t} ]] && seeds=("fuzz/corpus/${t}")
    log=${dir}/${t}.log
    result=ok
    if ! ASAN_OPTIONS=detect_leaks=1 "${exe}" -max_total_time="${seconds}" \
        -print_final_stats=1 -artifact_prefix="${dir}/artifacts/${t}-" \
        "${work}" "${seeds[@]}" >"${log}" 2>&1; then
        result=FINDING
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1)
    corpus=$(grep -Eo 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "${log}" | tail -n 1 | sed 's/corp: //')
    units=${corpus%%/*}
    bytes=${corpus#*/}
    bytes=${bytes%b}
    printf '%-24s %10s %8s %10s  %s\n' "${t}" "${runs:-?}" "${units:-?}" "${bytes:-?}" "${result}"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "${t}" "${seconds}" "${runs:-0}" "${units:-0}" "${bytes:-0}" "${result}" \
        >>"${summary}"
    if [[ ${result} != ok ]]; then
        grep -E '^(==|SUMMARY|artifact_prefix|Test unit written)' "${log}" | head -n 20 >&2 || true
    fi
done
exit "${failed}"
