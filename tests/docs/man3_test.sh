#!/bin/sh
# SPDX-License-Identifier: MIT
# Every function the library exports has its section-3 page, and no page
# names a function that is not exported; every page renders without a
# warning. Usage: man3_test.sh LIBRARY MAN3_DIR CHECK_MAN
set -eu
exported=$(nm -D --defined-only "$1" | awk '$3 ~ /^vr/ { print $3 }' | sort)
pages=$(cd "$2" && ls ./*.3 | sed 's|^\./||; s|\.3$||' | grep -vx vrelay | sort)
if [ "$exported" != "$pages" ]; then
    echo "exported functions and man pages differ (< exported only, > page only):" >&2
    printf '%s\n' "$exported" >"${TMPDIR:-/tmp}/man3-exported.$$"
    printf '%s\n' "$pages" | diff "${TMPDIR:-/tmp}/man3-exported.$$" - >&2 || true
    rm -f "${TMPDIR:-/tmp}/man3-exported.$$"
    exit 1
fi
sh "$3" "$2"/*.3
echo "$(echo "$pages" | wc -l) function pages and vrelay(3) render cleanly"
