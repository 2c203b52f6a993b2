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

#endif  // VRELAY_TEXTPROC_DYSTR_H
