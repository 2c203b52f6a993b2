// SPDX-License-Identifier: MIT
// Chained hash table from byte-string keys to 32-bit values.
//
// Key hash of n bytes: h = 0; for each byte pair (b0, b1) h = (b0 * 256 + b1 +
// h) * 17109811; an odd last byte b gives h = (b * 256 + h) * 17109811; then
// h = (h + n) * 17109811, all unsigned 32-bit. The bucket is h modulo the
// bucket count. A key is taken up to `len` bytes or its first NUL, whichever
// comes first (a length below 1: up to its NUL).
#ifndef VRELAY_TEXTPROC_HASH_H
#define VRELAY_TEXTPROC_HASH_H

#include <cstdint>
#include <cstdio>

struct KVTP_hashentry {
    char* key;    // NUL-terminated
    int32_t len;  // key bytes
    int32_t value;
    int32_t owns_key;  // 0 for keys inserted with KVTP_hash_insert_uniq_const
    KVTP_hashentry* next;
};

struct KVTP_hash {
    int32_t nbuckets;      // a power of two, at least 2
    int32_t count;         // entries
    int32_t mutable_flag;  // insertions allowed
    KVTP_hashentry** buckets;
};

// Bucket count: the smallest power of two >= size (2 below 3, at most 2^30).
KVTP_hash* KVTP_hash_new(int32_t size, int32_t mutable_flag);
// Frees all entries (and their owned keys); null is accepted.
void KVTP_hash_delete(KVTP_hash* h);
// The 32-bit key hash described above.
uint32_t KVTP_hash_value(const char* key, int32_t len);
// The entry whose key has exactly these bytes, or null.
KVTP_hashentry* KVTP_hash_match(const KVTP_hash* h, const char* key, int32_t len);
// On a mutable table, inserts a copy of an absent key; returns the stored key,
// or null (immutable table, key present, or allocation failure).
const char* KVTP_hash_insert_uniq(KVTP_hash* h, const char* key, int32_t len, int32_t value);
// As above but stores the caller's key, which must outlive the table.
const char* KVTP_hash_insert_uniq_const(KVTP_hash* h, const char* key, int32_t len, int32_t value);
// Removes the entry with exactly these bytes from a mutable table (freeing
// an owned key); 1 when it was there.
int KVTP_hash_remove(KVTP_hash* h, const char* key, int32_t len);
// Writes the low `bits` bits (at most 32) of the key hash into
// ceil(bits / 8) bytes of out (may be null), lowest first, a zero byte
// written as 1; returns those bytes recombined, 0 when bits < 1.
uint32_t KVTP_hash_function(const char* key, int32_t len, unsigned char* out, int32_t bits);
// Entries in the table; 0 for null.
int32_t KVTP_hash_sz(const KVTP_hash* h);

#endif  // VRELAY_TEXTPROC_HASH_H
