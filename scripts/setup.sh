#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, when missing. As root it runs
# apt-get itself; otherwise it prints the command to run.
# Usage: scripts/setup.sh [JOB]
#   say    building vrelay-say and vrelay-server: the compiler, CMake and the
#          libraries they link (scripts/say.sh)
#   web    the same and Boost's headers, for vrelay-web
#   test   (the default) everything the tests use: the above, the test
#          frameworks, the documentation and Debian packaging tools, the
#          programs the end-to-end tests drive
# VRELAY_WITH_BENCH=1, VRELAY_WITH_FUZZ=1 and VRELAY_WITH_WINDOWS=1 add what
# the benchmarks, the fuzz targets and the Windows cross-build need.
set -euo pipefail

job=${1:-test}
packages=(g++ make cmake pkg-config libpcre2-dev libxml2-dev libutf8proc-dev libespeak-ng-dev
          libsoxr-dev libpulse-dev)
case ${job} in
    say) ;;
    web) packages+=(libboost1.81-dev) ;;
    test)
        packages+=(libboost1.81-dev build-essential binutils libgtest-dev libgmock-dev
                   libbenchmark-dev clang python3 python3-venv python3-pip python3-setuptools
                   python3-wheel mypy doxygen scdoc man-db dpkg-dev debhelper dh-python lintian
                   file librsvg2-bin haproxy systemd speech-dispatcher pulseaudio
                   pulseaudio-utils nodejs chromium)
        # vrelay-web's browser test runs puppeteer-core from npm. Some nodejs
        # builds bring npm with them, and Debian's npm package conflicts with
        # those.
        if ! command -v npm >/dev/null; then
            packages+=(npm)
        fi
        ;;
    *)
        echo "usage: scripts/setup.sh [say|web|test]" >&2
        exit 2
        ;;
esac
if [[ "${VRELAY_WITH_BENCH:-0}" == 1 ]]; then
    packages+=(hyperfine espeak-ng time speech-dispatcher-espeak-ng)
fi
if [[ "${VRELAY_WITH_FUZZ:-0}" == 1 ]]; then
    packages+=(clang libclang-rt-14-dev)
fi
if [[ "${VRELAY_WITH_WINDOWS:-0}" == 1 ]]; then
    packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "vrelay needs these Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
