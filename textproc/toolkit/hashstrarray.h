// SPDX-License-Identifier: MIT
// String-keyed string table: a dictionary numbers the words and a string
// array holds each word's string at that number.
#ifndef VRELAY_TEXTPROC_HASHSTRARRAY_H
#define VRELAY_TEXTPROC_HASHSTRARRAY_H

#include <cstdint>

#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/strarray.h"

struct KVTP_hashstrarray {
    KVTP_dict* dict;
    KVTP_strarray* strings;  // string of word number i at index i - 1
};

KVTP_hashstrarray* KVTP_hashstrarray_new(int32_t size);
void KVTP_hashstrarray_delete(KVTP_hashstrarray* h);
// Replaces the string of an existing word and returns 0; adds the word and
// returns 1; -1 on allocation failure (table unchanged). Failure cannot be 0
// like elsewhere in the toolkit, since 0 already means "replaced".
int KVTP_hashstrarray_add(KVTP_hashstrarray* h, const char* word, int32_t wlen, const char* str,
                          int32_t slen);
// The word's string, or null.
const char* KVTP_hashstrarray_lookup(const KVTP_hashstrarray* h, const char* word, int32_t wlen);
int32_t KVTP_hashstrarray_sz(const KVTP_hashstrarray* h);

#endif  // VRELAY_TEXTPROC_HASHSTRARRAY_H
