#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless every man page given renders with man(1) without a warning and
# has a NAME section that lexgrog (what mandb and whatis use) can read.
set -eu
for page in "$@"; do
    lexgrog "$page" >/dev/null || { echo "$page: no readable NAME section" >&2; exit 1; }
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        printf '%s: man warns:\n%s\n' "$page" "$warnings" >&2
        exit 1
    fi
done
