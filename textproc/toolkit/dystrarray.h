// SPDX-License-Identifier: MIT
// Packed string array: one byte buffer holding entries, each a slot-length
// byte, the string, and NUL bytes filling the rest of the slot. A string of n
// bytes gets a slot of ((n + 2) / 2) * 2 + 2 bytes; the slot-length byte holds
// the slot length, or 255 for slots of 255 bytes or more (walked by scanning
// to the string's NUL and over the NUL fill to the next non-zero byte). Fresh
// and cleared empty entries use 2-byte slots. Strings cannot contain NUL: text
// is taken up to `len` bytes or its first NUL (len < 0: the string).
// Pointers into the array stay valid only until it grows or changes.
#ifndef VRELAY_TEXTPROC_DYSTRARRAY_H
#define VRELAY_TEXTPROC_DYSTRARRAY_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/array.h"

// A byte array (element size 1); count is the bytes used by all slots.
struct KVTP_dystrarray : KVTP_array {};

// n empty entries; growth step 64, keep limit 512. Null on failure.
KVTP_dystrarray* KVTP_dystrarray_new(int32_t n);
// n empty entries of `slot` bytes (below 2: 2; odd: one more), `reserve` bytes
// reserved.
KVTP_dystrarray* KVTP_dystrarray_newcustom(int32_t n, int32_t reserve, int32_t slot, int32_t step,
                                           int32_t keep);
// No entries, `reserve` bytes reserved.
KVTP_dystrarray* KVTP_dystrarray_newprealloc(int32_t reserve);
void KVTP_dystrarray_delete(KVTP_dystrarray* a);

// Adds one entry.
int KVTP_dystrarray_add(KVTP_dystrarray* a, const char* text, int32_t len);
// Adds one entry per piece of text between delimiter bytes (empty pieces
// included: "a,,b" gives three). All or nothing.
int KVTP_dystrarray_add_delim(KVTP_dystrarray* a, const char* text, int32_t len, int delim);
// The string of entry i, or null outside 0..sz-1.
char* KVTP_dystrarray_idx(const KVTP_dystrarray* a, int32_t i);
// The string of the entry after the one whose string starts at p, or null.
char* KVTP_dystrarray_next(const KVTP_dystrarray* a, const char* p);
// Number of entries. A buffer whose walk does not end exactly at its end is
// reported on standard error and gives 0.
int32_t KVTP_dystrarray_sz(const KVTP_dystrarray* a);
// Sets the string of entry i (the slot grows when needed).
int KVTP_dystrarray_replace(KVTP_dystrarray* a, int32_t i, const char* text, int32_t len);
// Appends text to the string of entry i.
int KVTP_dystrarray_append(KVTP_dystrarray* a, int32_t i, const char* text, int32_t len);
// Removes entry i.
int KVTP_dystrarray_remove(KVTP_dystrarray* a, int32_t i);
// Leaves n empty 2-byte entries (storage kept up to the keep limit).
int KVTP_dystrarray_clear(KVTP_dystrarray* a, int32_t n);
// Leaves n empty entries of `slot` bytes.
int KVTP_dystrarray_clearcustom(KVTP_dystrarray* a, int32_t n, int32_t slot);
// Makes dst a byte copy of src's buffer.
int KVTP_dystrarray_copy(KVTP_dystrarray* dst, const KVTP_dystrarray* src);
// Stored form (record layout in store.h): magic "KVDA", u32 count, then the
// entries' strings in order (slot sizes are not kept: a read array has the
// standard slot of each string). Write gives 1, or 0 when the file fails or
// the array is corrupt.
int KVTP_dystrarray_write(const KVTP_dystrarray* a, FILE* f);
// Bytes KVTP_dystrarray_write would write; 0 for a null or corrupt array.
int64_t KVTP_dystrarray_write_sz(const KVTP_dystrarray* a);
// Reads one record into a new array; null for a bad record.
KVTP_dystrarray* KVTP_dystrarray_read(FILE* f);

#endif  // VRELAY_TEXTPROC_DYSTRARRAY_H
