// SPDX-License-Identifier: MIT
// Pre-normalisation of a token: its normalised text is rewritten character by
// character and feature bytes 2 to 6 record what was seen.
//
// The rule sets behind it ("convertillegal", "downcase" and the character
// class "alpha") belong to the linguistic data, which this library does not
// carry, so the caller supplies them as a table of functions. Each function
// is given one character (a lead byte and up to three continuation bytes,
// not NUL-terminated); a null function never applies.
//
// For each character, in order:
//   - convertillegal applies: its replacement is taken as it is (not also
//     lower-cased) and the character counts as converted;
//   - else downcase applies: the lower-case form is taken and the character
//     counts as lower-cased;
//   - else the character is kept.
//   The character (before any rewriting) counts as alphabetic when
//   is_alpha says so.
// Feature bytes, all cleared first:
//   2  some character was lower-cased
//   3  some character was alphabetic
//   4  some character was neither lower-cased nor alphabetic nor converted
//   5  some character was converted
//   6  capitalised: the first character was lower-cased and every other one
//      was not, and was alphabetic or converted; also set for an empty text
#ifndef VRELAY_TEXTPROC_PRENORM_H
#define VRELAY_TEXTPROC_PRENORM_H

#include <cstdint>

#include "textproc/model/tox.h"
#include "textproc/toolkit/dystr.h"

struct KVTP_prenorm_rules {
    // Appends the replacement of an illegal character to out and returns 1;
    // 0 when the character is legal (out untouched).
    int (*convertillegal)(void* context, const char* ch, int32_t len, KVTP_dystr* out);
    // Appends the lower-case form to out and returns 1; 0 when the character
    // has none (out untouched).
    int (*downcase)(void* context, const char* ch, int32_t len, KVTP_dystr* out);
    // 1 when the character belongs to the class "alpha".
    int (*is_alpha)(void* context, const char* ch, int32_t len);
    void* context;  // handed to every function
};

// Rewrites the token's normalised text and sets feature bytes 2 to 6. Returns
// 1; 0 for a null token or rules, or when memory runs out (the token is then
// unchanged).
int KVTP_toxtoken_prenorm(KVTP_toxtoken* token, const KVTP_prenorm_rules* rules);

#endif  // VRELAY_TEXTPROC_PRENORM_H
