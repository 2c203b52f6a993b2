// SPDX-License-Identifier: MIT
// Unicode normalisation of UTF-8 text for the tokeniser.
#ifndef VRELAY_TEXTPROC_TOKENISE_NORMALISE_H
#define VRELAY_TEXTPROC_TOKENISE_NORMALISE_H

#include <cstdint>

#include "textproc/toolkit/dystr.h"

// Appends the composed normal form of `len` bytes of text (len < 0: up to the
// NUL) to out: form C (canonical decomposition, reordering by combining class,
// canonical composition), or form KC when `compatibility` is non-zero. Text
// that is not valid UTF-8 is appended unchanged. Returns 1, 0 when out is
// null or cannot grow.
int KVTP_utf8_normalise_composed(const char* text, int32_t len, KVTP_dystr* out,
                                 int32_t compatibility);

#endif  // VRELAY_TEXTPROC_TOKENISE_NORMALISE_H
