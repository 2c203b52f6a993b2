// SPDX-License-Identifier: MIT
// Singly linked list of value pointers. An empty list is one node with a null
// value. The list owns its values: they must be KVTP_malloc blocks (or null),
// freed by clear and delete.
#ifndef VRELAY_TEXTPROC_LIST_H
#define VRELAY_TEXTPROC_LIST_H

#include <cstdint>

struct KVTP_list {
    void* val;
    KVTP_list* next;
};

// An empty list (one node, null value); null on failure.
KVTP_list* KVTP_list_new();
// Frees every node and value; null is accepted.
void KVTP_list_delete(KVTP_list* l);
// Frees every value and every node but the head, which becomes empty.
void KVTP_list_clear(KVTP_list* l);
// Fills the empty head, or appends a node at the tail. 1/0.
int KVTP_list_append(KVTP_list* l, void* v);
// Fills the empty head (returning l), or returns a new head in front of l;
// null on failure (l unchanged).
KVTP_list* KVTP_list_push(KVTP_list* l, void* v);
// Detaches the head into *head (its next null) and returns the rest, or a
// fresh empty node when there is none. Null on failure (l unchanged, *head
// null).
KVTP_list* KVTP_list_pop(KVTP_list* l, KVTP_list** head);
KVTP_list* KVTP_list_last(KVTP_list* l);
void* KVTP_list_val(const KVTP_list* l);
// Value of node i (from 0), or null.
void* KVTP_list_idx(const KVTP_list* l, int32_t i);
// Number of values (0 for an empty list or null).
int32_t KVTP_list_sz(const KVTP_list* l);

#endif  // VRELAY_TEXTPROC_LIST_H
