#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks vrelay the way an application developer gets it, using the build
# directory given (default build/plain, already built):
#   - the examples, built in the tree and against the build tree's CMake
#     package, run against the reference server's tone engine;
#   - an install to a temporary prefix other than the configured one, then
#     the C examples built with pkg-config and all examples with
#     find_package, run the same way;
#   - the library as a subproject (add_subdirectory) of a consumer project;
#   - the Debian packages: built from debian/ and checked by lintian; as
#     root, all installed with dpkg, the examples built against them (with
#     pkg-config and find_package) and run against the installed server, the
#     Python package, vrelay-say, vrelay-web and the Speech Dispatcher module
#     run from them; then purged, leaving no file behind.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
src=$PWD
build=$src/${1:-build/plain}
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
server_pid=
# The checks install under other prefixes; the build directory gets its own back.
own_prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "${build}/CMakeCache.txt")
cleanup() {
    [[ -n ${server_pid} ]] && kill "${server_pid}" 2>/dev/null && wait "${server_pid}" || true
    cmake -S "${src}" -B "${build}" -DCMAKE_INSTALL_PREFIX="${own_prefix}" >/dev/null || true
    rm -rf "${work}"
}
trap cleanup EXIT

step() { echo "== install check: $*"; }

# The tone engine answers fast and with exact numbers; port 0 picks a free one.
start_server server_pid port "${work}/server.out" \
    "${build}/server/vrelay-server" --engine tone --port 0

# run_examples DIR: the examples from DIR against the tone server.
printf 'Hello <prosody rate="slow">there, wide</prosody> world.\n' >"${work}/input.txt"
run_examples() {
    "$1/render_to_wav" 127.0.0.1 "${port}" "${work}/out.wav" "Hello there, wide world." \
        | tee "${work}/render.out"
    grep -q "world\.$" "${work}/render.out"
    [[ $(wc -c <"${work}/out.wav") -gt 44 ]]
    "$1/async_cancel" 127.0.0.1 "${port}"
    "$1/resume_render" "127.0.0.1:${port}" "${work}/input.txt" "${work}/resumed.wav" \
        | tee "${work}/resume.out"
    grep -q "^4 words" "${work}/resume.out"
}

# build_examples BUILD_DIR CMAKE_ARGS...: the examples on their own.
build_examples() {
    local dir=$1; shift
    cmake -S examples -B "${dir}" "$@" >/dev/null
    cmake --build "${dir}" -j "${jobs}" >/dev/null
}

step "examples in the tree"
cmake --build "${build}" -j "${jobs}" --target render_to_wav async_cancel resume_render \
    >/dev/null
run_examples "${build}/examples"

step "examples against the build tree's package"
build_examples "${work}/ex-buildtree" -Dvrelay_DIR="${build}"
run_examples "${work}/ex-buildtree"

step "install to another prefix than the one configured"
# The installed files must not depend on the configured prefix: pkg-config,
# the CMake package and the programs find everything relative to themselves.
prefix=${work}/prefix
cmake -S . -B "${build}" -DCMAKE_INSTALL_PREFIX=/opt/vrelay-configured-elsewhere >/dev/null
cmake --build "${build}" -j "${jobs}" >/dev/null
cmake --install "${build}" --prefix "${prefix}" >/dev/null
if grep -rl /opt/vrelay-configured-elsewhere "${prefix}/lib/pkgconfig" "${prefix}/lib/cmake" \
        "${prefix}/include"; then
    echo "installed files name the configured prefix" >&2
    exit 1
fi
"${prefix}/bin/vrelay-say" --server "127.0.0.1:${port}" -q -o "${work}/say.wav" "Installed."
"${prefix}/bin/vrelay-web" --version >/dev/null

step "Speech Dispatcher module in Speech Dispatcher's folders under the prefix"
[[ -x ${prefix}/lib/speech-dispatcher-modules/sd_vrelay ]]
[[ -f ${prefix}/etc/speech-dispatcher/modules/vrelay.conf ]]
printf 'VrelayServer "127.0.0.1:%s"\n' "${port}" >"${work}/vrelay.conf"
printf 'INIT\nQUIT\n' | "${prefix}/lib/speech-dispatcher-modules/sd_vrelay" "${work}/vrelay.conf" \
    2>/dev/null | grep -q '^299 OK LOADED SUCCESSFULLY$'

step "C example with pkg-config against the prefix"
export PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
mkdir -p "${work}/ex-pc"
# shellcheck disable=SC2046  # pkg-config prints several words on purpose
cc -std=c99 -Wall -Wextra -Werror -o "${work}/ex-pc/render_to_wav" examples/render_to_wav.c \
    $(pkg-config --cflags --libs vrelay) -Wl,-rpath,"$(pkg-config --variable=libdir vrelay)"
"${work}/ex-pc/render_to_wav" 127.0.0.1 "${port}" "${work}/pc.wav" "Through pkg-config."
# The resuming helper is header-only: strict C99 too.
cc -std=c99 -Wall -Wextra -Werror -o "${work}/ex-pc/resume_render" examples/resume_render.c \
    $(pkg-config --cflags --libs vrelay) -Wl,-rpath,"$(pkg-config --variable=libdir vrelay)"
unset PKG_CONFIG_PATH

step "examples with find_package against the prefix"
build_examples "${work}/ex-installed" -DCMAKE_PREFIX_PATH="${prefix}"
run_examples "${work}/ex-installed"

step "Python package from the prefix"
PYTHONPATH=${prefix}/lib/python3/dist-packages python3 -c "
import importlib.metadata, vrelay, vrelay._library as l
assert l.library()._name.startswith('${prefix}/'), l.library()._name
assert importlib.metadata.version('vrelay') == vrelay.__version__
with vrelay.Connection('127.0.0.1', ${port}) as c:
    assert c.render('From the prefix.').audio"

step "Python package: pip install into a fresh virtual environment, offline"
# The wheel is built by the system's pip (setuptools and wheel from Debian)
# from a copy, so the tree gets no build folders; the environment sees
# nothing of the system's packages and finds the library by its soname.
cp -rL python "${work}/python-src"  # -L: vrelay/data links into frontend/
/usr/bin/python3 -m pip wheel -q --no-deps --no-index --no-build-isolation "${work}/python-src" \
    -w "${work}/wheel"
/usr/bin/python3 -m venv "${work}/venv"
# Built in the environment itself, which has setuptools but not wheel, the
# install fails with the way out rather than "invalid command 'bdist_wheel'".
if "${work}/venv/bin/pip" install --no-index --no-build-isolation "${work}/python-src" \
        >"${work}/venv-pip.out" 2>&1 ||
        ! grep -q "building the wheel needs the 'wheel' package" "${work}/venv-pip.out"; then
    cat "${work}/venv-pip.out" >&2
    exit 1
fi
"${work}/venv/bin/pip" install -q --no-index "${work}"/wheel/vrelay-*.whl
(cd "${work}" && LD_LIBRARY_PATH=${prefix}/lib "${work}/venv/bin/python" -c "import vrelay")
sed -n '/^## Render and save/,/^```$/p' docs/PYTHON.md | sed '1,/^```python$/d;$d' \
    | sed "s/5555/${port}/" >"${work}/example.py"
(cd "${work}" && LD_LIBRARY_PATH=${prefix}/lib "${work}/venv/bin/python" example.py)
[[ $(wc -c <"${work}/hello.wav") -gt 44 ]]
(cd "${work}" && LD_LIBRARY_PATH=${prefix}/lib \
    "${work}/venv/bin/python" -m vrelay --engine tone -q -o cli.wav "From the wheel.")
[[ $(wc -c <"${work}/cli.wav") -gt 44 ]]

step "subproject: add_subdirectory from a consumer project"
mkdir -p "${work}/consumer"
cat >"${work}/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES C CXX)
add_subdirectory("${src}" vrelay)
if(VRELAY_TESTS OR VRELAY_EXAMPLES OR VRELAY_INSTALL)
  message(FATAL_ERROR "tests, examples or install rules are on in a subproject")
endif()
add_library(consumer OBJECT consumer.c)
target_link_libraries(consumer PRIVATE vrelay::vrelay)
CMAKE
printf '#include <vrelay/vrelay_helpers.h>\nint f(void) { return vrCreateConnection(); }\n' \
    >"${work}/consumer/consumer.c"
# GoogleTest must not be needed; compiling the consumer's own file shows the
# target carries its include directory (consumer/fast skips building vrelay).
cmake -S "${work}/consumer" -B "${work}/consumer/build" -G "Unix Makefiles" \
    --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
make -s -C "${work}/consumer/build" consumer/fast >/dev/null

step "Debian packages: dpkg-buildpackage (and the tests in it), lintian"
# The tests run again there, built as Debian builds them (optimised, with its
# hardening flags): on two cores that takes the package build from about 3.5
# to 6 minutes.
scripts/build_debs.sh "${work}/deb"
if [[ $(id -u) -ne 0 ]]; then
    echo "not root: the packages are built but not installed"
    exit 0
fi

step "Debian packages: installed with dpkg, used, purged"
# One install at a time on a machine whose checkouts share the system.
exec 9>/tmp/vrelay-dpkg.lock
flock 9
packages=$(for deb in "${work}"/deb/*.deb; do dpkg-deb -f "${deb}" Package; done)
leftovers() { find /usr /etc /var/lib -path '*vrelay*' 2>/dev/null | sort; }
leftovers >"${work}/before.txt"
# shellcheck disable=SC2086  # one word per package
purge() { dpkg -P ${packages} >/dev/null; }
# The installed server, on a port of its own, for the installed clients. It
# holds the lock too: a failure stops it.
deb_server=
stop_deb_server() {
    [[ -n ${deb_server} ]] && kill "${deb_server}" 2>/dev/null && wait "${deb_server}" || true
    deb_server=
}
dpkg -i "${work}"/deb/*.deb >/dev/null
trap 'stop_deb_server; purge; cleanup' EXIT
start_server deb_server port "${work}/deb-server.out" /usr/bin/vrelay-server --engine tone --port 0
mkdir -p "${work}/ex-deb"
# shellcheck disable=SC2046
cc -o "${work}/ex-deb/render_to_wav" examples/render_to_wav.c $(pkg-config --cflags --libs vrelay)
"${work}/ex-deb/render_to_wav" 127.0.0.1 "${port}" "${work}/deb.wav" "From the package."
build_examples "${work}/ex-deb-cmake"
run_examples "${work}/ex-deb-cmake"
(cd / && /usr/bin/python3 -c "
import importlib.metadata, vrelay, vrelay._library as l
assert l.loaded_path().startswith('/usr/lib/'), l.loaded_path()
assert importlib.metadata.version('vrelay') == vrelay.__version__
with vrelay.Connection('127.0.0.1', ${port}) as c:
    assert c.render('From the Python package.').marks")
# (grep reads all: with -q it would stop early, and pip would fail on the pipe.)
/usr/bin/python3 -m pip list 2>/dev/null | grep '^vrelay ' >/dev/null
dpkg-deb -f "${work}"/deb/python3-vrelay_*.deb Recommends | grep -w vrelay-server >/dev/null
(cd "${work}" && /usr/bin/python3 -m vrelay --engine tone -q -o py-cli.wav "Installed.")
[[ $(wc -c <"${work}/py-cli.wav") -gt 44 ]]
vrelay-say --server "127.0.0.1:${port}" -q -o "${work}/deb-say.wav" "Installed by dpkg."
# vrelay-text, a developer's tool, comes in a package of its own.
[[ $(dpkg -S /usr/bin/vrelay-text) == "vrelay-text: /usr/bin/vrelay-text" ]]
vrelay-text --help >/dev/null
vrelay-web --version >/dev/null
printf 'VrelayServer "127.0.0.1:%s"\n' "${port}" >"${work}/deb-vrelay.conf"
printf 'INIT\nQUIT\n' | /usr/lib/speech-dispatcher-modules/sd_vrelay "${work}/deb-vrelay.conf" \
    2>/dev/null | grep -q '^299 OK LOADED SUCCESSFULLY$'
stop_deb_server
man -w 3 vrOpenConnection vrelay >/dev/null
# The services are installed, not enabled; their system users exist.
[[ -f /lib/systemd/system/vrelay-server.service && -f /lib/systemd/system/vrelay-web.service ]]
[[ ! -e /etc/systemd/system/multi-user.target.wants/vrelay-server.service ]]
getent passwd _vrelay _vrelay-web >/dev/null
purge
trap cleanup EXIT
leftovers >"${work}/after.txt"
if ! diff "${work}/before.txt" "${work}/after.txt"; then
    echo "the purged packages left files behind (> lines)" >&2
    exit 1
fi
# System users stay after a purge, as Debian does it: files they own may
# outlive the package, and their ids must not go to anyone else. They cannot
# log in.
for user in _vrelay _vrelay-web; do
    [[ $(getent passwd "${user}" | cut -d: -f7) == */nologin ]]
done
step "done"
