#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds vrelay for Windows with mingw-w64: the 32-bit DLL applications
# load (build/win-i686) and a 64-bit build whose programs run under wine64
# (build/win-x86_64). Checks the 32-bit DLL's export and import tables.
#
# Usage: scripts/windows.sh [--ci]
#   --ci  also runs the 64-bit unit tests of platform, transport, connection
#         and client under wine64, and the example programs against the Linux
#         vrelay-server on loopback.
#
# PCRE2, libxml2 and utf8proc are built from their upstream source tarballs
# (fetched with apt-get source, which needs a deb-src entry; this script adds
# one) into a static prefix per target under ${VRELAY_WIN_CACHE}, default
# ~/.cache/vrelay-win. A prefix that exists is reused.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
root=$(pwd)

ci=0
[[ "${1:-}" == "--ci" ]] && ci=1

VRELAY_WITH_WINDOWS=1 scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cache=${VRELAY_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vrelay-win}
# Bump when the way the dependencies are built changes: old prefixes are then
# rebuilt rather than reused.
recipe=4
mkdir -p "${cache}/sources"

# ---- dependency sources ----

source_tarball() {  # prints the upstream tarball of Debian source package $1
    find "${cache}/sources" -maxdepth 1 -name "$1_*.orig.tar.*" | sort | tail -n 1
}

fetch_sources() {
    local missing=()
    for p in pcre2 libxml2 utf8proc; do
        [[ -n "$(source_tarball "$p")" ]] || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return
    local list=/etc/apt/sources.list.d/vrelay-deb-src.sources
    if ! grep -rqs "^Types:.*deb-src\|^deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "== adding ${list} for apt-get source" >&2
        # The source entries follow the binary ones, so the same mirror serves.
        local debian=/etc/apt/sources.list.d/debian.sources
        if [[ -f "${debian}" ]] && grep -q "^Types: deb$" "${debian}"; then
            sed 's/^Types: deb$/Types: deb-src/' "${debian}" >"${list}"
        elif grep -qs "^deb " /etc/apt/sources.list; then
            list=/etc/apt/sources.list.d/vrelay-deb-src.list
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"${list}"
        else
            cat >"${list}" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        fi
        apt-get update -qq
    fi
    echo "== fetching sources: ${missing[*]}" >&2
    # A security update's Debian diff may be missing from the mirror; only the
    # upstream tarball is used, so apt's complaint about the rest is ignored.
    (cd "${cache}/sources" && apt-get source --download-only -qq "${missing[@]}" >/dev/null 2>&1) || true
    for p in "${missing[@]}"; do
        if [[ -z "$(source_tarball "$p")" ]]; then
            echo "windows.sh: no upstream tarball for ${p} (is a deb-src entry configured?)" >&2
            exit 1
        fi
    done
}

# ---- dependency builds ----

# build_dep TRIPLE PREFIX PACKAGE CMAKE-OPTIONS...: unpacks the tarball and
# installs a static build into PREFIX.
build_dep() {
    local triple=$1 prefix=$2 package=$3; shift 3
    local work="${prefix}.work/${package}"
    rm -rf "${work}" && mkdir -p "${work}"
    tar -xf "$(source_tarball "${package}")" -C "${work}" --strip-components=1
    cmake -S "${work}" -B "${work}/build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/toolchain-${triple}.cmake" \
        -DCMAKE_INSTALL_PREFIX="${prefix}" -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_SHARED_LIBS=OFF "$@" >"${work}.log" 2>&1 ||
        { cat "${work}.log" >&2; return 1; }
    cmake --build "${work}/build" -j "${jobs}" >>"${work}.log" 2>&1 ||
        { tail -n 50 "${work}.log" >&2; return 1; }
    cmake --install "${work}/build" >>"${work}.log" 2>&1
}

# deps_prefix TRIPLE: the dependency prefix for TRIPLE, built if missing.
deps_prefix() {
    local triple=$1
    local key="${recipe}"
    for p in pcre2 libxml2 utf8proc; do
        key+="-$(basename "$(source_tarball "$p")" | sed 's/\.orig\.tar\..*//')"
    done
    local prefix="${cache}/${triple}-$(echo "${key}" | sha1sum | cut -c1-12)"
    if [[ ! -f "${prefix}/.complete" ]]; then
        echo "== building dependencies for ${triple} into ${prefix}" >&2
        # Prefixes of other versions or recipes for this target are stale.
        rm -rf "${cache}/${triple}"-*
        build_dep "${triple}" "${prefix}" pcre2 -DBUILD_STATIC_LIBS=ON \
            -DPCRE2_SUPPORT_JIT=ON -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF
        build_dep "${triple}" "${prefix}" utf8proc
        # The XML parser and tree (the library reads the voice list with
        # them) and HTML's entity table (markup's entities): no network,
        # compression, iconv, validation, query languages or programs. LIBXML_STATIC keeps its functions out of our exports.
        local xml_options=(-DCMAKE_C_FLAGS=-DLIBXML_STATIC)
        for feature in C14N CATALOG DEBUG DOCB FTP HTTP ICONV LEGACY LZMA MODULES \
            PATTERN PROGRAMS PYTHON READER REGEXPS SCHEMAS SCHEMATRON TESTS VALID WRITER \
            XINCLUDE XPATH XPTR ZLIB; do
            xml_options+=("-DLIBXML2_WITH_${feature}=OFF")
        done
        build_dep "${triple}" "${prefix}" libxml2 "${xml_options[@]}"
        if [[ "${triple}" == x86_64-* ]]; then
            # GoogleTest for the unit tests, from the source Debian installs.
            local gtest=/usr/src/googletest
            cmake -S "${gtest}" -B "${prefix}.work/googletest" -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/toolchain-${triple}.cmake" \
                -DCMAKE_INSTALL_PREFIX="${prefix}" -DCMAKE_INSTALL_LIBDIR=lib \
                -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=ON >/dev/null
            cmake --build "${prefix}.work/googletest" -j "${jobs}" >/dev/null
            cmake --install "${prefix}.work/googletest" >/dev/null
        fi
        rm -rf "${prefix}.work" "${prefix}".work.*
        touch "${prefix}/.complete"
    fi
    echo "${prefix}"
}

# ---- vrelay ----

configure() {  # configure TRIPLE BUILD-DIR OPTIONS...
    local triple=$1 dir=$2; shift 2
    local prefix
    prefix=$(deps_prefix "${triple}")
    echo "== build ${dir} (${triple})"
    # pkg-config's answers stay cached: a build made against another prefix
    # starts afresh.
    if ! grep -qsx "VRELAY_WIN_DEPS:[A-Z]*=${prefix}" "${dir}/CMakeCache.txt"; then
        rm -rf "${dir}"
    fi
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=Release -DVRELAY_WERROR=ON "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="${root}/cmake/toolchain-${triple}.cmake" \
        -DVRELAY_WIN_DEPS="${prefix}" "$@" >/dev/null
}

fetch_sources

# The 32-bit DLL: built and checked by its tables (no 32-bit Wine here).
configure i686-w64-mingw32 build/win-i686
cmake --build build/win-i686 -j "${jobs}"
ctest --test-dir build/win-i686 --output-on-failure

# The 64-bit build, with the tests that run under wine64.
configure x86_64-w64-mingw32 build/win-x86_64
cmake --build build/win-x86_64 -j "${jobs}"
[[ ${ci} -eq 1 ]] || exit 0

# No desktop, no .NET or browser engine prompts, no debug chatter.
export WINEPREFIX="${cache}/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
echo "== test build/win-x86_64 (wine64)"
# Debian's wineserver ends the moment its last program does, and a test that
# starts just then finds it going away ("wine client error: ... Connection
# reset by peer") before any of its own code runs. When every failure is
# that, the failed tests run once more; any other failure stands.
wine_log=build/win-x86_64/ctest.log
if ! ctest --test-dir build/win-x86_64 --output-on-failure -j "${jobs}" 2>&1 | tee "${wine_log}"; then
    failed=$(sed -n 's/.* \([0-9][0-9]*\) tests failed out of.*/\1/p' "${wine_log}" | tail -n 1)
    wine_errors=$(grep -c "^wine client error" "${wine_log}" || true)
    if [[ -z "${failed}" || "${wine_errors}" -lt "${failed}" ]]; then
        exit 1
    fi
    echo "== ${failed} tests Wine could not start, once more"
    ctest --test-dir build/win-x86_64 --output-on-failure --rerun-failed
fi

# The example programs, built against the 64-bit DLL, against the Linux server
# on loopback: a synchronous render to a WAV file with every word's time, and
# an asynchronous render that is cancelled and followed by another.
echo "== examples (.exe) against vrelay-server"
cmake -S . -B build/plain -DVRELAY_WERROR=ON >/dev/null
cmake --build build/plain -j "${jobs}" --target vrelay-server >/dev/null
run_dir=build/win-x86_64/run
rm -rf "${run_dir}" && mkdir -p "${run_dir}"
server_pid=
trap 'kill "${server_pid}" 2>/dev/null || true; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
start_server server_pid port "${run_dir}/server.out" \
    build/plain/server/vrelay-server --port 0 --listen 127.0.0.1
(cd "${run_dir}" && "${wine}" ../bin/render_to_wav.exe 127.0.0.1 "${port}" sync.wav \
    "Hello from Windows, four words.") >"${run_dir}/sync.out" 2>&1 ||
    { cat "${run_dir}/sync.out" >&2; exit 1; }
# Every word's mark came back, and the file holds more than its header.
marks=$(grep -c "^ *[0-9.]\+ s  " "${run_dir}/sync.out" || true)
size=$(stat -c %s "${run_dir}/sync.wav")
if [[ ${marks} -ne 5 || ${size} -le 44 ]]; then
    echo "render_to_wav.exe: ${marks} marks, ${size} bytes" >&2
    cat "${run_dir}/sync.out" >&2
    exit 1
fi
echo "render_to_wav.exe: ${marks} marks, ${size} bytes"
"${wine}" build/win-x86_64/bin/async_cancel.exe 127.0.0.1 "${port}" >"${run_dir}/async.out" 2>&1 ||
    { cat "${run_dir}/async.out" >&2; exit 1; }
grep -q "second render" "${run_dir}/async.out" || { cat "${run_dir}/async.out" >&2; exit 1; }
echo "async_cancel.exe: $(tail -n 1 "${run_dir}/async.out")"
