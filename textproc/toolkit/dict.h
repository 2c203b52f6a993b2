// Word dictionary: words numbered from 1 in order of addition, looked up by
// word through a hash and by number through an index.
#ifndef VRELAY_TEXTPROC_DICT_H
#define VRELAY_TEXTPROC_DICT_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/hash.h"
#include "textproc/toolkit/voidparray.h"

struct KVTP_dict {
    KVTP_hash* hash;         // word -> 1-based number
    KVTP_voidparray* index;  // number - 1 -> word (the hash's key)
    int32_t multiplier;      // when non-zero, returned numbers are scaled by it
};

// Mutable dictionary whose hash has `size` buckets (below 1: 100).
KVTP_dict* KVTP_dict_new_empty(int32_t size);
void KVTP_dict_delete(KVTP_dict* d);
// Number of the word, adding it with the next number when new; 0 on failure.
int32_t KVTP_dict_add_entry(KVTP_dict* d, const char* word, int32_t len);
// Number of the word, or 0.
int32_t KVTP_dict_lookup_word(const KVTP_dict* d, const char* word, int32_t len);
// Word with the (scaled) number n, or the empty string when out of range.
const char* KVTP_dict_lookup_index(const KVTP_dict* d, int32_t n);
// Number of words.
int32_t KVTP_dict_size(const KVTP_dict* d);
// Writes "number word" lines in number order.
void KVTP_dict_print(const KVTP_dict* d, FILE* f);

#endif  // VRELAY_TEXTPROC_DICT_H
