#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs commands in a fresh, minimal Debian 12 root (debootstrap
# --variant=minbase, kept after the first run) holding the project's committed
# HEAD as a release archive holds it: no .git, nothing installed beyond the
# base system. That is what "works on a fresh machine" means.
#
# Usage (as root): scripts/fresh_check.sh PROJECT_DIR 'COMMAND' ['COMMAND'...]
#   e.g. scripts/fresh_check.sh . 'scripts/say.sh "Hello there."' 'scripts/test.sh'
# Each command runs in the root's /project, one after the other; for each a
# line gives its exit code, its time (and the processor time it took, which
# tells more on a busy machine), the megabytes of Debian packages it
# downloaded, and the command. The first that fails stops the run and the
# tail of its output is shown; the output of every command is in
# ${XDG_CACHE_HOME:-~/.cache}/vrelay-fresh/last.log.
# Needs debootstrap and git. It takes as long as the commands (the whole test
# command: about half an hour on two cores), so run it in the background.
set -uo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: scripts/fresh_check.sh PROJECT_DIR 'COMMAND' ['COMMAND'...]" >&2
    exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "fresh_check.sh: run it as root (it uses debootstrap and chroot)" >&2
    exit 2
fi
for tool in debootstrap git; do
    if ! command -v "${tool}" >/dev/null; then
        echo "fresh_check.sh: ${tool} is missing: apt-get install ${tool}" >&2
        exit 2
    fi
done
project=$(readlink -f "$1")
shift
cache=${XDG_CACHE_HOME:-${HOME}/.cache}/vrelay-fresh
base=${cache}/base.tar
mkdir -p "${cache}"

# The base system, made once from this machine's Debian mirror and kept as a
# tar file: each run unpacks a new copy.
if [[ ! -f ${base} ]]; then
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
    [[ -n ${mirror} ]] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
    rm -rf "${cache}/base"
    if ! debootstrap --variant=minbase bookworm "${cache}/base" ${mirror:+"${mirror}"} \
            >"${cache}/debootstrap.log" 2>&1; then
        echo "debootstrap failed: $(tail -n 2 "${cache}/debootstrap.log")" >&2
        exit 2
    fi
    cp /etc/apt/sources.list.d/debian.sources "${cache}/base/etc/apt/sources.list.d/" 2>/dev/null
    tar -C "${cache}/base" -cf "${base}" . && rm -rf "${cache}/base"
fi

root=$(mktemp -d "${cache}/root.XXXX")
tar -C "${root}" -xf "${base}"
# The sources copied from this machine replace debootstrap's list, which would
# name the same ones twice.
if [[ -f ${root}/etc/apt/sources.list.d/debian.sources ]]; then
    rm -f "${root}/etc/apt/sources.list"
fi
cp /etc/resolv.conf "${root}/etc/resolv.conf"
# Where this machine reaches the package registries through a TLS proxy it
# trusts, the root trusts it too (npm reads NODE_EXTRA_CA_CERTS; apt and pip
# are unaffected).
prelude=""
if [[ -f /etc/ssl/certs/ca-certificates.crt ]]; then
    mkdir -p "${root}/etc/ssl"
    cp /etc/ssl/certs/ca-certificates.crt "${root}/etc/ssl/host-ca.crt"
    prelude="export NODE_EXTRA_CA_CERTS=/etc/ssl/host-ca.crt npm_config_cafile=/etc/ssl/host-ca.crt; "
fi
mkdir -p "${root}/project"
git -C "${project}" archive HEAD | tar -C "${root}/project" -xf -

mount -t proc proc "${root}/proc"
mount --rbind /dev "${root}/dev"
mount --make-rslave "${root}/dev"
cleanup() {
    umount "${root}/proc"
    umount -R "${root}/dev" 2>/dev/null
    # Nothing of this machine may be mounted inside when the copy goes.
    grep -q " ${root}/" /proc/mounts || rm -rf "${root}"
}
trap cleanup EXIT

# Bytes of the packages apt has downloaded into the root so far.
downloaded() {
    find "${root}/var/cache/apt/archives" -name '*.deb' -printf '%s\n' 2>/dev/null |
        awk '{ total += $1 } END { print total + 0 }'
}

# Processor seconds (user and system) the commands run so far have taken, as
# `times` wrote them: it runs in this shell, as a subshell counts only its own.
processor_seconds() {
    sed -n 2p "${cache}/times" | tr 'ms' '  ' |
        awk '{ printf "%d", $1 * 60 + $2 + $3 * 60 + $4 }'
}

status=0
: >"${cache}/last.log"
for command in "$@"; do
    start=$(date +%s)
    before=$(downloaded)
    times >"${cache}/times"
    used=$(processor_seconds)
    echo "== ${command}" >>"${cache}/last.log"
    chroot "${root}" /bin/bash -lc "cd /project && ${prelude}${command}" >>"${cache}/last.log" 2>&1
    result=$?
    megabytes=$(( ($(downloaded) - before + 524288) / 1048576 ))
    times >"${cache}/times"
    echo "[${result}] $(( $(date +%s) - start )) s ($(( $(processor_seconds) - used )) s of" \
         "processor), ${megabytes} MB of Debian packages downloaded: ${command}"
    if [[ ${result} -ne 0 ]]; then
        status=1
        tail -n 15 "${cache}/last.log" | sed 's/^/    /'
        break
    fi
done
exit "${status}"
