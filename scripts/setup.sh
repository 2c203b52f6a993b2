#!/usr/bin/env bash
# Installs the Debian packages vrelay needs to build and test, when missing.
# As root it runs apt-get itself; otherwise it prints the command to run.
set -euo pipefail

packages=(g++ cmake make pkg-config binutils libgtest-dev libgmock-dev libpcre2-dev
          libxml2-dev libutf8proc-dev libespeak-ng-dev libbenchmark-dev clang
          python3 doxygen scdoc man-db dpkg-dev file libsoxr-dev librsvg2-bin haproxy systemd
          libpulse-dev pulseaudio pulseaudio-utils)
if [[ "${VRELAY_WITH_BENCH:-0}" == 1 ]]; then
    packages+=(hyperfine espeak-ng time)
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
