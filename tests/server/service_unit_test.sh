#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A service file passes systemd's own checks with ExecStart pointing at the
# built program, alone and with each override that DOC (docs/DEPLOY.md) tells
# operators to write with `systemctl edit`. Exit 77 (skipped) where
# systemd-analyze cannot run.
# Usage: service_unit_test.sh UNIT_FILE PROGRAM [DOC]
set -uo pipefail
unit=$1
program=$2
doc=${3:-}
name=$(basename "${unit}")
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "${dir}"' EXIT
sed "s|/usr/local/bin/$(basename "${program}")|${program}|" "${unit}" >"${dir}/${name}"
# Documentation= names man pages that are installed with the package only.
output=$(systemd-analyze verify --man=no "${dir}/${name}" 2>&1)
rc=$?
echo "${output}"
if grep -qiE "failed to (initialize|connect|create)|not been booted|permission denied" <<<"${output}" &&
    ! grep -q "${name}:" <<<"${output}"; then
    echo "systemd-analyze cannot run here"
    exit 77
fi
# Warnings about the file (unknown keys, bad values) come back with status 0.
[[ ${rc} -eq 0 ]] && ! grep -q "${name}" <<<"${output}" || exit 1
[[ -n ${doc} ]] || exit 0
# The overrides: the code blocks that start with [Service] and set ExecStart.
mkdir "${dir}/${name}.d"
awk -v out="${dir}/override" '
    /^```/ { if (block) { block = 0; close(file) } else { fence = 1 }; next }
    fence { fence = 0; if ($0 == "[Service]") { block = 1; file = out "." ++n ".conf" } }
    block { print > file }' "${doc}"
overrides=("${dir}"/override.*.conf)
[[ -f ${overrides[0]} ]] || { echo "no [Service] override in ${doc}"; exit 1; }
for override in "${overrides[@]}"; do
    grep -q '^ExecStart=' "${override}" || continue
    sed "s|/usr/bin/$(basename "${program}")|${program}|" "${override}" >"${dir}/${name}.d/override.conf"
    output=$(systemd-analyze verify --man=no "${dir}/${name}" 2>&1)
    rc=$?
    [[ ${rc} -eq 0 ]] && ! grep -q "${name}" <<<"${output}" ||
        { echo "with $(cat "${override}")"; echo "${output}"; exit 1; }
done
