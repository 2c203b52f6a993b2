#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A service file passes systemd's own checks with ExecStart pointing at the
# built program. Exit 77 (skipped) where systemd-analyze cannot run.
# Usage: service_unit_test.sh UNIT_FILE PROGRAM
set -uo pipefail
unit=$1
program=$2
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
[[ ${rc} -eq 0 ]] && ! grep -q "${name}" <<<"${output}"
