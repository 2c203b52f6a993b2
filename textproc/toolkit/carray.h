// SPDX-License-Identifier: MIT
// Compact constant array of integers, stored in the narrowest element width
// (1, 2 or 4 bytes) that holds every value.
//
// Packed form: one header byte, the count, then the elements, all
// little-endian. Header bits 0-1 give the element width and bits 2-3 the
// width of the count (0: 1 byte, 1: 2 bytes, 2: 4 bytes; 3 is invalid), bit
// 4 is set when the elements are signed, bits 5-7 are zero.
#ifndef VRELAY_TEXTPROC_CARRAY_H
#define VRELAY_TEXTPROC_CARRAY_H

#include <cstdint>
#include <cstdio>

struct KVTP_carray {
    int32_t element_size;  // 1, 2 or 4
    int32_t is_signed;     // elements are two's-complement
    unsigned char* data;   // count * element_size bytes, little-endian (owned)
    int32_t count;
};

// Array of the n values, signed when any is negative; null on failure.
KVTP_carray* KVTP_carray_new(const int32_t* values, int32_t n);
void KVTP_carray_delete(KVTP_carray* a);
// Element i widened to 64 bits (a 4-byte unsigned element may exceed
// INT32_MAX); 0 outside the array.
int64_t KVTP_carray_idx(const KVTP_carray* a, int32_t i);
int32_t KVTP_carray_sz(const KVTP_carray* a);

// Bytes of the packed form.
int64_t KVTP_carray_packed_sz(const KVTP_carray* a);
// Writes the packed form into out (size bytes); returns the bytes written,
// 0 when they do not fit.
int64_t KVTP_carray_pack(const KVTP_carray* a, unsigned char* out, int64_t size);
// Reads a packed form from the first `size` bytes of in; *used (may be null)
// receives its length. Null for an invalid or truncated form.
KVTP_carray* KVTP_carray_unpack(const unsigned char* in, int64_t size, int64_t* used);

// Stored form (record layout in store.h): magic "KVCA", u32 length, then the
// packed form of exactly that length. Write gives 1, or 0 when the file fails.
int KVTP_carray_write(const KVTP_carray* a, FILE* f);
KVTP_carray* KVTP_carray_read(FILE* f);

#endif  // VRELAY_TEXTPROC_CARRAY_H
