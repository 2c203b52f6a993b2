// SPDX-License-Identifier: MIT
// Word dictionary: words numbered from 1 in order of addition, looked up by
// word through a hash and by number through an index; and its compact
// read-only form. A word is taken up to `len` bytes or its first NUL (a
// length below 1: up to its NUL).
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
// Stored form (record layout in store.h): magic "KVDI", the multiplier as a
// signed u32, u32 count, then the words in number order. Write gives 1, or 0
// when the file fails.
int KVTP_dict_write(const KVTP_dict* d, FILE* f);
// Reads one record into a new mutable dictionary; null for a bad record
// (including a word stored twice, which would shift the numbers).
KVTP_dict* KVTP_dict_read(FILE* f);

// Compact read-only dictionary: the words in one block, looked up by number
// through an offset table and by word through a binary search over the
// numbers sorted by word bytes. Same numbering and multiplier rule as dict.
struct KVTP_cdict {
    int32_t count;
    int32_t multiplier;
    char* text;       // the words, each NUL-terminated, in number order
    int32_t* offset;  // offset[n - 1]: start of word n in text
    int32_t* sorted;  // word numbers ordered by their bytes
};

// Compact copy of a dictionary; null on failure.
KVTP_cdict* KVTP_cdict_new(const KVTP_dict* d);
void KVTP_cdict_delete(KVTP_cdict* c);
int32_t KVTP_cdict_lookup_word(const KVTP_cdict* c, const char* word, int32_t len);
const char* KVTP_cdict_lookup_index(const KVTP_cdict* c, int32_t n);
int32_t KVTP_cdict_size(const KVTP_cdict* c);
// Reads and writes the dictionary record above.
int KVTP_cdict_write(const KVTP_cdict* c, FILE* f);
KVTP_cdict* KVTP_cdict_read(FILE* f);

#endif  // VRELAY_TEXTPROC_DICT_H
