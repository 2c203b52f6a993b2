#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (debian/) with dpkg-buildpackage in a copy of the
# tree, so the work tree gets none of the build's files, then checks them with
# lintian: an error fails. The version is the one in include/vrelay/vrelay.h;
# the changelog is written from it. The packages land in OUT_DIR.
# Usage: scripts/build_debs.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
version=$(sed -n 's/^#define VRELAY_VERSION_STRING "\(.*\)"$/\1/p' include/vrelay/vrelay.h)
[[ -n ${version} ]] || { echo "no VRELAY_VERSION_STRING in include/vrelay/vrelay.h" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
src=${work}/vrelay-${version}
mkdir -p "${src}" "${out}"
# The project's files as they are in the work tree (edits not yet committed
# included, deleted ones left out).
scripts/source_files.py --others -z |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "${src}"
cat >"${src}/debian/changelog" <<CHANGELOG
vrelay (${version}) unstable; urgency=medium

  * vrelay ${version}.

 -- vrelay developers <dev@vrelay.invalid>  $(git log -1 --format=%aD 2>/dev/null || date -R)
CHANGELOG
# Debug symbol packages are left out unless DEB_BUILD_OPTIONS asks otherwise.
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-noddebs}
(cd "${src}" && dpkg-buildpackage -b -uc -us -j"$(nproc 2>/dev/null || echo 2)") \
    >"${work}/build.log" 2>&1 || { tail -n 60 "${work}/build.log" >&2; exit 1; }
cp "${work}"/*.deb "${out}/"
lintian --fail-on error --info "${work}"/*.changes | tee "${out}/lintian.txt"
echo "lintian: $(grep -c '^E:' "${out}/lintian.txt" || true) errors," \
     "$(grep -c '^W:' "${out}/lintian.txt" || true) warnings; packages in ${out}"
