// SPDX-License-Identifier: MIT
// Growable byte string. Its count includes a terminating NUL, so the text is
// always NUL-terminated; the size is count - 1. Lengths given with text are
// byte counts copied as they are (NUL bytes included); a negative length means
// the string length.
#ifndef VRELAY_TEXTPROC_DYSTR_H
#define VRELAY_TEXTPROC_DYSTR_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/array.h"

// A byte array (element size 1). A count of 0 (storage given back by a clear)
// is the empty string too.
struct KVTP_dystr : KVTP_array {};

// Initial text (null: empty) and reserved capacity in bytes (at least the
// text and its NUL). Growth step 8, keep limit 256.
KVTP_dystr* KVTP_dystr_new(const char* text, int32_t reserve);
KVTP_dystr* KVTP_dystr_newcustom(const char* text, int32_t reserve, int32_t step, int32_t keep);
void KVTP_dystr_delete(KVTP_dystr* s);

int KVTP_dystr_append(KVTP_dystr* s, const char* text, int32_t len);
// Two to four text/length pairs, room reserved once: all or nothing.
int KVTP_dystr_append2(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2);
int KVTP_dystr_append3(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2,
                       const char* t3, int32_t l3);
int KVTP_dystr_append4(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2,
                       const char* t3, int32_t l3, const char* t4, int32_t l4);
int KVTP_dystr_appendint(KVTP_dystr* s, int32_t v);
// KVTP_ftoa text of v.
int KVTP_dystr_appendfloat(KVTP_dystr* s, float v, int32_t precision, const char* format);
// text, the integer in decimal, "\n".
int KVTP_dystr_append2intCR(KVTP_dystr* s, const char* text, int32_t len, int32_t v);
// Appends printf-style formatted text.
int KVTP_dystr_printf(KVTP_dystr* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Replaces the contents by the text.
int KVTP_dystr_replace(KVTP_dystr* s, const char* text, int32_t len);
void KVTP_dystr_clear(KVTP_dystr* s);
// Cuts the text to `size` bytes when it is longer (negative: 0).
int KVTP_dystr_truncate(KVTP_dystr* s, int32_t size);
// Bytes of text; 0 for null.
int32_t KVTP_dystr_sz(const KVTP_dystr* s);
// The text; an empty string for null or an empty dystr.
char* KVTP_dystr_cstr(const KVTP_dystr* s);
// Removes the first n bytes (at most all).
int KVTP_dystr_delete_upto(KVTP_dystr* s, int32_t n);
// Removes n bytes from start (both clamped to the text).
int KVTP_dystr_delete_range(KVTP_dystr* s, int32_t start, int32_t n);
// Inserts text before byte pos, clamped to 0..size.
int KVTP_dystr_insert_range(KVTP_dystr* s, const char* text, int32_t len, int32_t pos);
// Replaces the contents by the next line of f, its line feed included; 0 at
// end of file (contents then empty) or on failure.
int KVTP_dystr_readline(KVTP_dystr* s, FILE* f);
void KVTP_dystr_asciilower(KVTP_dystr* s);
void KVTP_dystr_asciiupper(KVTP_dystr* s);
void KVTP_dystr_asciireplace(KVTP_dystr* s, int from, int to);
// Removes leading and trailing white space.
void KVTP_dystr_asciistrip(KVTP_dystr* s);
// Removes every byte >= 0x80.
void KVTP_dystr_remove_non_ascii(KVTP_dystr* s);
// Reserves room for n more bytes.
int KVTP_dystr_extend(KVTP_dystr* s, int32_t n);

// Fast paths for the tokeniser's inner loop, which runs them once or twice
// per token. They keep the string's NUL after the text but, unlike the calls
// above, do not zero the bytes past it (nothing reads there). Each falls back
// to the general operation when the capacity is short. s must not be null.

// Bytes of text.
inline int32_t KVTP_dystr_len(const KVTP_dystr* s) {
    return s->count > 0 ? s->count - 1 : 0;
}

// Empties the text; storage within the keep limit is kept as it is.
inline void KVTP_dystr_reset(KVTP_dystr* s) {
    if (s->data != nullptr && s->capacity > 0 && s->capacity <= s->keep_limit) {
        s->data[0] = '\0';
        s->count = 1;
        return;
    }
    KVTP_dystr_clear(s);
}

// Where n more bytes of text go when they fit with the NUL, else null. Bytes
// written there become text with KVTP_dystr_commit.
inline char* KVTP_dystr_tail(KVTP_dystr* s, int32_t n) {
    // A positive capacity means storage; a count of at least 1 a NUL in it.
    const int32_t count = s->count;
    if (count < 1 || n < 0 || static_cast<int64_t>(count) + n > s->capacity)
        return nullptr;
    return s->data + count - 1;
}

// Makes n bytes written at KVTP_dystr_tail(s, n) part of the text.
inline void KVTP_dystr_commit(KVTP_dystr* s, int32_t n) {
    const int32_t count = s->count + n;
    s->data[count - 1] = '\0';
    s->count = count;
}

// Copies len >= 0 bytes; pieces of up to sixteen bytes take no call.
inline void KVTP_copy_short(char* d, const char* text, int32_t len) {
    if (len > 16) {
        __builtin_memcpy(d, text, static_cast<size_t>(len));
    } else if (len >= 8) {
        // Two overlapping eight-byte copies.
        uint64_t a, b;
        __builtin_memcpy(&a, text, 8);
        __builtin_memcpy(&b, text + len - 8, 8);
        __builtin_memcpy(d, &a, 8);
        __builtin_memcpy(d + len - 8, &b, 8);
    } else if (len >= 4) {
        uint32_t a, b;
        __builtin_memcpy(&a, text, 4);
        __builtin_memcpy(&b, text + len - 4, 4);
        __builtin_memcpy(d, &a, 4);
        __builtin_memcpy(d + len - 4, &b, 4);
    } else {
        for (int32_t i = 0; i < len; ++i)
            d[i] = text[i];
    }
}

// Appends len >= 0 bytes.
inline int KVTP_dystr_append_fast(KVTP_dystr* s, const char* text, int32_t len) {
    // The fields are read once, before the copy (whose stores may alias them).
    const int32_t count = s->count;
    if (count < 1 || len < 0 || static_cast<int64_t>(count) + len > s->capacity)
        return len <= 0 ? 1 : KVTP_dystr_append(s, text, len);
    char* d = s->data + count - 1;
    KVTP_copy_short(d, text, len);
    d[len] = '\0';
    s->count = count + len;
    return 1;
}

// Inserts len bytes before byte pos (0..size); a short tail moves without a
// call.
int KVTP_dystr_insert_fast(KVTP_dystr* s, const char* text, int32_t len, int32_t pos);
// Cuts the text to size bytes (0..size).
inline void KVTP_dystr_cut(KVTP_dystr* s, int32_t size) {
    if (size >= 0 && size < KVTP_dystr_len(s)) {
        s->data[size] = '\0';
        s->count = size + 1;
    }
}
// Removes the first n bytes (at most all), moving the rest to the front.
void KVTP_dystr_drop_front(KVTP_dystr* s, int32_t n);

#endif  // VRELAY_TEXTPROC_DYSTR_H
