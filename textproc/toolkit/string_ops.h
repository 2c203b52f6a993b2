// SPDX-License-Identifier: MIT
// Byte-string scanners with explicit length limits, number conversions on
// counted text, and UTF-8 routines of the text-processing library.
//
// Lengths are signed 32-bit. Unless a function says otherwise a length below 1
// means nothing to scan (result 0), and every scan also stops at a NUL byte, so
// a length that runs past the end of a string is safe.
#ifndef VRELAY_TEXTPROC_KVTP_STRING_H
#define VRELAY_TEXTPROC_KVTP_STRING_H

#include <cstdint>

// ---------------------------------------------------------------------------
// Character classes (NUL-terminated byte sets) and their tests.

extern const char KVTP_whitespace_chars[];  // space, LF, TAB, CR
extern const char KVTP_newline_chars[];     // LF, CR
extern const char KVTP_eol_chars[];         // LF
extern const char KVTP_quote_chars[];       // double quote, apostrophe
extern const char KVTP_digit_chars[];       // 0-9
// The library's shared empty string.
extern const char KVTP_empty_string[];

// Each test takes a byte value (a plain `char` works, negative or not).
int KVTP_is_whitespace(int c);
int KVTP_is_newline(int c);
int KVTP_is_eol(int c);
int KVTP_is_quote(int c);
// The byte itself when it is a quote, else 0.
int KVTP_is_matching_quote(int c);
int KVTP_is_digit(int c);

// ---------------------------------------------------------------------------
// Scanners: each returns the number of leading bytes (within `len`, before a
// NUL) of the given kind. Those marked "-1 ok" take a negative length as no
// limit; the others return 0 for any length below 1.

int32_t KVTP_strlen_ws(const char* s, int32_t len);           // white space
int32_t KVTP_strlen_nws(const char* s, int32_t len);          // not white space
int32_t KVTP_strlen_newline(const char* s, int32_t len);      // not LF/CR
int32_t KVTP_strlen_eol(const char* s, int32_t len);          // not LF; -1 ok
int32_t KVTP_strlen_equals(const char* s, int32_t len);       // not '='
int32_t KVTP_strlen_colon(const char* s, int32_t len);        // not ':'
int32_t KVTP_strlen_comma(const char* s, int32_t len);        // not ','
int32_t KVTP_strlen_quote(const char* s, int32_t len);        // not a quote; -1 ok
int32_t KVTP_strlen_char(const char* s, int32_t len, int c);  // not c; -1 ok

// Bytes before the first NUL, at most `len`; len < 0: the whole string.
int32_t KVTP_strnlen(const char* s, int32_t len);
// First occurrence of byte c within len (-1: no limit), or null. A NUL `c` is
// never found.
const char* KVTP_strnchr(const char* s, int32_t len, int c);
inline char* KVTP_strnchr(char* s, int32_t len, int c) {
    return const_cast<char*>(KVTP_strnchr(static_cast<const char*>(s), len, c));
}
// First occurrence of the needle (nlen < 0: its string length) within len
// (-1: no limit). An empty or null needle gives `s`; null when absent.
const char* KVTP_strnstr(const char* s, int32_t len, const char* needle, int32_t nlen);
inline char* KVTP_strnstr(char* s, int32_t len, const char* needle, int32_t nlen) {
    return const_cast<char*>(KVTP_strnstr(static_cast<const char*>(s), len, needle, nlen));
}
// Occurrences of byte c (len < 0: the string length).
int32_t KVTP_charcount(const char* s, int32_t len, int c);
// Copy from src up to its first white-space (newline) byte, at most len bytes,
// then a NUL: `dst` must hold len + 1 bytes. Returns the bytes copied.
int32_t KVTP_strcpy_ws(char* dst, const char* src, int32_t len);
int32_t KVTP_strcpy_newline(char* dst, const char* src, int32_t len);
// Owned (KVTP_free) NUL-terminated copy of at most len bytes, stopping at a
// NUL; len < 0: the whole string. Null for a null source or on failure.
char* KVTP_strndup(const char* s, int32_t len);

// In-place case change of A-Z / a-z only (len < 0: up to the NUL).
void KVTP_asciilower(char* s, int32_t len = -1);
void KVTP_asciiupper(char* s, int32_t len = -1);
// Replaces every byte `from` by `to` in place (len < 0: up to the NUL).
void KVTP_asciireplace(char* s, int from, int to, int32_t len = -1);

// Equality test ignoring case: same length and each byte pair equal or exactly
// 32 apart. Null arguments give 0.
int KVTP_strcmp_nocase(const char* a, const char* b);

// ---------------------------------------------------------------------------
// White-space separated fields. Runs of white space, leading and trailing ones
// included, separate fields and never make empty fields. len < 0: the string.

// Number of fields in a NUL-terminated string (len < 0) or within len.
int32_t KVTP_no_strings(const char* s, int32_t len = -1);
// Start of field n (from 0) and its length, or null when there are fewer.
const char* KVTP_strfield(const char* s, int32_t len, int32_t n, int32_t* field_len);
// The field after the one at `pos` (skips the field at pos, then white
// space); `len` counts from pos. Null when there is none.
const char* KVTP_strfield_next(const char* pos, int32_t len, int32_t* field_len);
// Number of fields within len.
int32_t KVTP_strfield_len(const char* s, int32_t len);
// Reads up to `max` fields as floats into `out`; returns how many were read.
int32_t KVTP_strfield_floats(const char* s, int32_t len, float* out, int32_t max);
// Reads the first field as a signed fixed-point number with `decimals`
// places (see KVTP_atoifp).
int32_t KVTP_unpack_noseq(const char* s, int32_t len, int32_t decimals);

// ---------------------------------------------------------------------------
// Numbers on counted text. Values out of range saturate at the type's limits
// (the fixed-point reader uses its own marker, below).

// Leading white space (when len > 0), a sign ("-", "-+" or "+"), digits.
// len 0: 0; len < 0: no limit and no white-space skip.
int32_t KVTP_atoi(const char* s, int32_t len);
int64_t KVTP_atol(const char* s, int32_t len);
// As above, skipping the separator byte among the digits ("1,234").
int32_t KVTP_atoisep(const char* s, int32_t len, int sep);
int64_t KVTP_atolsep(const char* s, int32_t len, int sep);
// Signed decimal with optional point, scaled by 10^decimals; extra fraction
// digits are dropped. More than 10 significant digits in all (or a value
// beyond int32) gives 999999999 with the sign.
int32_t KVTP_atoifp(const char* s, int32_t len, int32_t decimals);
// Decimal text of v into buf. size < 30: writes as much of "TO_SHORT" as fits
// and returns 0; else 1.
int KVTP_itoa(int32_t v, char* buf, int32_t size);
int KVTP_ltoa(int64_t v, char* buf, int32_t size);
// Float to text. format "f"/"F": fixed with `precision` decimals; any other
// (or null): precision + 1 significant digits (7 when precision <= 0, at most
// 23) as d.ddd, then "E", "-" for a negative exponent and the exponent digits
// when it is not 0. Infinities give "inf"/"-inf", NaN "nan". size < 30:
// "TO_SHORT" and 0; text that would not fit: "OVERFLOW" and 0.
int KVTP_ftoa(float v, char* buf, int32_t size, int32_t precision, const char* format);
// Decimal with optional point and exponent (len < 0: no limit).
float KVTP_atof(const char* s, int32_t len);
double KVTP_atod(const char* s, int32_t len);

// ---------------------------------------------------------------------------
// UTF-8.

// Sequence length by lead byte: <0xC0 1, <0xE0 2, <0xF0 3, <0xF8 4, <0xFC 5,
// else 6.
int32_t KVTP_u8_seqlen(unsigned char lead);
// Advances *i over one character: 1 byte plus following continuation bytes,
// at most 4 in all. Returns the new offset.
int32_t KVTP_u8_inc(const char* s, int32_t* i);
// Steps *i back over one character when 1 <= *i <= len, else decrements it.
// Returns the new offset.
int32_t KVTP_u8_dec(const char* s, int32_t* i, int32_t len);
// Characters in a NUL-terminated string (a byte plus up to three following
// continuation bytes each).
int32_t KVTP_u8_strlen(const char* s);
// The n-th character (from 0), or the terminating NUL when the text is shorter.
const char* KVTP_u8_at(const char* s, int32_t n);
inline char* KVTP_u8_at(char* s, int32_t n) {
    return const_cast<char*>(KVTP_u8_at(static_cast<const char*>(s), n));
}
// Bytes of the first n characters, 0 if the text ends sooner.
int32_t KVTP_u8_bytelen(const char* s, int32_t n);
// Validates at most len bytes: -1 (and *bad_len -1) when all valid or len < 1,
// else the offset of the first problem with *bad_len set. bad_len may be null.
int32_t KVTP_check_utf8(const char* s, int32_t len, int32_t* bad_len);
// One ISO-8859-1 byte to UTF-8 in out[3] (zeroed first): 0 when copied as is,
// 1 when encoded as two bytes.
int KVTP_utf82ISO88591(unsigned char c, char* out);
// Decodes one sequence (leads up to 0xF7) into *cp: 1, or 0 for a continuation
// lead or a bad continuation. Never reads past a NUL.
int KVTP_utf82unicode(uint32_t* cp, const char* s);
// Encodes cp into out[5] (zeroed first): 1, or 0 above 0x10FFFF.
int KVTP_unicode2utf8(uint32_t cp, char* out);
// Copies the character at s into out (at least 7 bytes) with a NUL; returns
// its byte length from the lead byte, or fewer when a NUL cuts it short.
int32_t KVTP_next_utf8_char(const char* s, char* out);
// Copies whole characters of src that fit in dst with its terminating NUL,
// within n bytes in all; returns the bytes copied (without the NUL).
int32_t KVTP_utf8_strncpy(char* dst, const char* src, int32_t n);

#endif  // VRELAY_TEXTPROC_KVTP_STRING_H
