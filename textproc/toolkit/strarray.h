// SPDX-License-Identifier: MIT
// Array of strings. A normal string array owns its strings (copies made with
// KVTP_malloc, freed on removal, replacement, clear and delete); the arrays
// made over a constant block own nothing. Text is taken up to `len` bytes or
// its first NUL (len < 0: the string).
//
// str2str is a string array of alternating keys and values.
#ifndef VRELAY_TEXTPROC_STRARRAY_H
#define VRELAY_TEXTPROC_STRARRAY_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/array.h"

struct KVTP_strarray : KVTP_array {};

// Growth step 1, keep limit 256.
KVTP_strarray* KVTP_strarray_new();
KVTP_strarray* KVTP_strarray_new_custom(int32_t step, int32_t keep);
// Non-owning array over n consecutive NUL-terminated strings of one block.
KVTP_strarray* KVTP_strarray_new_const(const char* block, int32_t n);
KVTP_strarray* KVTP_strcarray_new_const(const char* block, int32_t n);
void KVTP_strarray_delete(KVTP_strarray* a);

// Appends an owned copy.
int KVTP_strarray_add(KVTP_strarray* a, const char* text, int32_t len);
// Appends s itself (a KVTP_malloc block the array then owns); on failure the
// caller still owns s.
int KVTP_strarray_add_nocopy(KVTP_strarray* a, char* s);
// String i, or null outside the array.
char* KVTP_strarray_idx(const KVTP_strarray* a, int32_t i);
// Replaces string i by a copy of the text.
int KVTP_strarray_replace(KVTP_strarray* a, int32_t i, const char* text, int32_t len);
// Inserts a copy before position pos (clamped to 0..sz).
int KVTP_strarray_insert_item(KVTP_strarray* a, const char* text, int32_t len, int32_t pos);
// Removes (and frees) string i; 0 outside the array.
int KVTP_strarray_remove_item(KVTP_strarray* a, int32_t i);
int32_t KVTP_strarray_sz(const KVTP_strarray* a);
void KVTP_strarray_clear(KVTP_strarray* a);
// Appends the pieces of text between occurrences of the delimiter string
// (empty pieces included); an empty delimiter appends the whole text. All or
// nothing.
int KVTP_strarray_split(KVTP_strarray* a, const char* text, int32_t len, const char* delim);
// As split, cutting at any byte of the set `chars`.
int KVTP_strarray_split_chars(KVTP_strarray* a, const char* text, int32_t len, const char* chars);
// Appends the white-space separated fields (no empty ones).
int KVTP_strarray_split_ws(KVTP_strarray* a, const char* text, int32_t len);
// The strings joined with delim (null: nothing) between them, as an owned
// string (KVTP_free); null on failure.
char* KVTP_strarray_join(const KVTP_strarray* a, const char* delim);
// Stored form (record layout in store.h): magic "KVSA", u32 count, then the
// strings in order. Write gives 1, or 0 when the file fails.
int KVTP_strarray_write(const KVTP_strarray* a, FILE* f);
// Reads one record into a new owning array; null for a bad record.
KVTP_strarray* KVTP_strarray_read(FILE* f);

struct KVTP_str2str : KVTP_strarray {};

// `reserve` key/value pairs allocated up front.
KVTP_str2str* KVTP_str2str_new(int32_t reserve);
void KVTP_str2str_delete(KVTP_str2str* t);
// Appends copies of key and value without checking for the key. All or
// nothing.
int KVTP_str2str_add(KVTP_str2str* t, const char* key, int32_t klen, const char* val, int32_t vlen);
// Value of the last pair whose key has exactly these bytes, or null.
char* KVTP_str2str_lookup(const KVTP_str2str* t, const char* key, int32_t klen);
// Replaces the value of that pair; 0 when the key is absent.
int KVTP_str2str_replace_val(KVTP_str2str* t, const char* key, int32_t klen, const char* val,
                             int32_t vlen);
// Key or value of pair i, or null.
char* KVTP_str2str_key(const KVTP_str2str* t, int32_t i);
char* KVTP_str2str_val(const KVTP_str2str* t, int32_t i);
int32_t KVTP_str2str_nrkeys(const KVTP_str2str* t);
void KVTP_str2str_clear(KVTP_str2str* t);

#endif  // VRELAY_TEXTPROC_STRARRAY_H
