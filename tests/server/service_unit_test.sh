#!/usr/bin/env bash
# The service file passes systemd's own checks with ExecStart pointing at the
# built server. Exit 77 (skipped) where systemd-analyze cannot run.
# Usage: service_unit_test.sh UNIT_FILE SERVER_BINARY
set -uo pipefail
unit=$1
server=$2
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "${dir}"' EXIT
sed "s|/usr/local/bin/vrelay-server|${server}|" "${unit}" >"${dir}/vrelay-server.service"
output=$(systemd-analyze verify "${dir}/vrelay-server.service" 2>&1)
rc=$?
echo "${output}"
if grep -qiE "failed to (initialize|connect|create)|not been booted|permission denied" <<<"${output}" &&
    ! grep -q "vrelay-server.service:" <<<"${output}"; then
    echo "systemd-analyze cannot run here"
    exit 77
fi
# Warnings about the file (unknown keys, bad values) come back with status 0.
[[ ${rc} -eq 0 ]] && ! grep -q "vrelay-server.service" <<<"${output}"
