#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the benchmarks in Release, runs them all and writes
# docs/PERFORMANCE.md: every figure beside its anchor, from this one run.
#
# Usage: bench/run.sh           the full report (about a quarter of an hour)
#        bench/run.sh --smoke   build into build/plain and run every benchmark
#                               once on tiny inputs; writes no report
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
smoke=0
[[ "${1:-}" == "--smoke" ]] && smoke=1

if [[ ${smoke} -eq 1 ]]; then
    build=build/plain
    cmake -S . -B "${build}" -DVRELAY_BENCH=ON >/dev/null
else
    build=build/bench
    cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=Release -DVRELAY_BENCH=ON -DVRELAY_TESTS=OFF \
        >/dev/null
fi
echo "== build ${build} (benchmarks)"
cmake --build "${build}" -j "${jobs}" --target tokenise_bench tpxml_bench client_bench \
    vrelay-server vrelay-say sd_vrelay

programs=("${build}/bench/tokenise_bench" "${build}/bench/client_bench")
# Scripts that measure a whole program print one markdown row each.
row_scripts=(bench/say_vs_espeak.sh bench/server_two_clients.sh bench/first_sound.py
             bench/python_vs_say.sh bench/speechd_vs_espeak.sh bench/web_first_sound.sh
             bench/resume_after_kill.sh bench/speechd_whole_stack.py)

if [[ ${smoke} -eq 1 ]]; then
    echo "== benchmarks, once on tiny inputs"
    for p in "${programs[@]}"; do
        "${p}" --smoke --benchmark_color=false >/dev/null
    done
    "${build}/bench/tpxml_bench" --benchmark_min_time=0 --benchmark_color=false >/dev/null
    bench/scaling.py "${build}" --smoke >/dev/null
    echo "benchmarks ran"
    exit 0
fi

rows=$(mktemp)
scaling=$(mktemp)
trap 'rm -f "${rows}" "${scaling}"' EXIT
load=$(cut -d' ' -f1-3 /proc/loadavg)
for p in "${programs[@]}"; do
    echo "== ${p}"
    "${p}" --rows="${rows}" --benchmark_repetitions=5 \
        --benchmark_enable_random_interleaving=true --benchmark_color=false
done
for s in "${row_scripts[@]}"; do
    if [[ -x "${s}" ]]; then
        echo "== ${s}"
        "${s}" "${build}" | grep '^|' >>"${rows}" || echo "${s} gave no row" >&2
    fi
done
# How cost grows: tables of their own and a plot (docs/scaling.svg), at the
# report's end.
echo "== bench/scaling.py"
bench/scaling.py "${build}" >"${scaling}" || echo "bench/scaling.py gave no tables" >&2

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
compiler=$(c++ --version | head -n 1)
mkdir -p docs
{
    echo "# Performance"
    echo
    echo "Written by \`bench/run.sh\` from one run on $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "at commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo
    echo "- Machine: ${cpu}, $(nproc) cores; load average at the start: ${load}."
    echo "- Build: CMake Release (-O3 -DNDEBUG), ${compiler}."
    echo "- Method: every benchmark runs five times, the programs' benchmarks in"
    echo "  random order; each figure is the best of the five, its anchor measured"
    echo "  the same way in the same run. Speeds are ratios our/anchor (higher is"
    echo "  better); times are ours/anchor (lower is better)."
    echo
    echo "| figure | anchor | anchor figure | our figure | ratio | target | met |"
    echo "|---|---|---|---|---|---|---|"
    cat "${rows}"
    if [[ -f bench/findings.md ]]; then
        echo
        cat bench/findings.md
    fi
    if [[ -s "${scaling}" ]]; then
        echo
        cat "${scaling}"
    fi
} >docs/PERFORMANCE.md
echo "wrote docs/PERFORMANCE.md"
