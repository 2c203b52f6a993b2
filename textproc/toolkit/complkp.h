// SPDX-License-Identifier: MIT
// Compressed lookup table from byte-string keys to 32-bit values.
//
// The keys are kept sorted and front-coded: each key is stored as the number
// of leading bytes it shares with the key before it (one byte, at most 255),
// the length of the rest (a LEB128 number) and the rest. Every 16th key starts
// a block and is stored whole (shared count 0), so a lookup is a binary
// search over the blocks' first keys and a scan of one block. The values sit
// in a compact array (carray) in key order.
#ifndef VRELAY_TEXTPROC_COMPLKP_H
#define VRELAY_TEXTPROC_COMPLKP_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/carray.h"

struct KVTP_complkp {
    int32_t count;
    int32_t nblocks;
    int32_t longest;      // bytes of the longest key
    unsigned char* keys;  // front-coded keys in ascending byte order
    int32_t* block;       // offset in keys of each block's first key
    KVTP_carray* values;  // value of each key, in key order
};

// Table of the n pairs keys[i] (NUL-terminated) -> values[i], in any order.
// Null on failure or when a key occurs twice.
KVTP_complkp* KVTP_complkp_new(const char* const* keys, const int32_t* values, int32_t n);
void KVTP_complkp_delete(KVTP_complkp* c);
// 1 and *value set when the key (len bytes, up to a NUL; len < 0: its
// string length) is present, else 0.
int KVTP_complkp_lookup(const KVTP_complkp* c, const char* key, int32_t len, int32_t* value);
int32_t KVTP_complkp_sz(const KVTP_complkp* c);

// Stored form (record layout in store.h): magic "KVCL", u32 count, then each
// pair as its key (a string) and value (a signed u32), in ascending key
// order. Write gives 1, or 0 when the file fails; read rejects keys out of
// order or repeated.
int KVTP_complkp_write(const KVTP_complkp* c, FILE* f);
KVTP_complkp* KVTP_complkp_read(FILE* f);

#endif  // VRELAY_TEXTPROC_COMPLKP_H
