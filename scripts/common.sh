# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shell functions the build, test and benchmark scripts share. Source it from
# the top of the source tree.

# wait_for_line FILE PATTERN: waits up to 10 s for a line matching PATTERN
# (grep's basic syntax) in FILE, which a process that is starting writes.
wait_for_line() {
    local _
    for _ in $(seq 100); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1  # waiting for a process to start, not synchronising threads
    done
    return 1
}

# start_server PID_VAR PORT_VAR LOG COMMAND...: starts the vrelay-server
# COMMAND (with --port 0) in the background, its output in LOG, and waits for
# its "listening on" line; sets PID_VAR to its process id and PORT_VAR to the
# port it chose. Fails, showing LOG, if the line does not come.
start_server() {
    # The locals' names are not ones a caller passes: printf -v would set them.
    local _pid_var=$1 _port_var=$2 _log=$3 _port
    shift 3
    "$@" >"${_log}" 2>&1 &
    printf -v "${_pid_var}" '%s' "$!"
    wait_for_line "${_log}" '^listening on' || true
    _port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "${_log}")
    if [[ -z ${_port} ]]; then
        echo "the server did not start:" >&2
        cat "${_log}" >&2
        return 1
    fi
    printf -v "${_port_var}" '%s' "${_port}"
}

# release_build BUILD_DIR TARGET...: configures BUILD_DIR as a release build
# without tests unless it is configured already, then builds the TARGETs.
release_build() {
    local build=$1
    shift
    if [[ ! -f "${build}/CMakeCache.txt" ]]; then
        cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=Release -DVRELAY_TESTS=OFF >/dev/null
    fi
    cmake --build "${build}" -j "$(nproc 2>/dev/null || echo 2)" --target "$@" >/dev/null
}
