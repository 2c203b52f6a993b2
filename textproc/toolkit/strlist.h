// SPDX-License-Identifier: MIT
// Singly linked list of owned strings; an empty list is one node with a null
// string. Text is copied up to `len` bytes or its first NUL (len < 0: the
// string).
#ifndef VRELAY_TEXTPROC_STRLIST_H
#define VRELAY_TEXTPROC_STRLIST_H

#include <cstdint>

struct KVTP_strlist {
    char* val;
    KVTP_strlist* next;
};

KVTP_strlist* KVTP_strlist_new();
void KVTP_strlist_delete(KVTP_strlist* l);
void KVTP_strlist_clear(KVTP_strlist* l);
int KVTP_strlist_append(KVTP_strlist* l, const char* text, int32_t len);
KVTP_strlist* KVTP_strlist_push(KVTP_strlist* l, const char* text, int32_t len);
KVTP_strlist* KVTP_strlist_pop(KVTP_strlist* l, KVTP_strlist** head);
KVTP_strlist* KVTP_strlist_last(KVTP_strlist* l);
char* KVTP_strlist_val(const KVTP_strlist* l);
char* KVTP_strlist_idx(const KVTP_strlist* l, int32_t i);
int32_t KVTP_strlist_sz(const KVTP_strlist* l);

#endif  // VRELAY_TEXTPROC_STRLIST_H
