// SPDX-License-Identifier: MIT
// Array of borrowed pointers (elements are pointer-sized; never freed by the
// array).
#ifndef VRELAY_TEXTPROC_VOIDPARRAY_H
#define VRELAY_TEXTPROC_VOIDPARRAY_H

#include <cstdint>

#include "textproc/toolkit/array.h"

struct KVTP_voidparray : KVTP_array {};

// Growth step 8, keep limit 64.
KVTP_voidparray* KVTP_voidparray_new();
// `reserve` slots allocated up front.
KVTP_voidparray* KVTP_voidparray_newcustom(int32_t reserve, int32_t step, int32_t keep);
void KVTP_voidparray_delete(KVTP_voidparray* a);

int KVTP_voidparray_add(KVTP_voidparray* a, void* p);
// Element i, or null outside the array.
void* KVTP_voidparray_idx(const KVTP_voidparray* a, int32_t i);
// Last element, or null when empty.
void* KVTP_voidparray_end(const KVTP_voidparray* a);
// Sets element i (0 outside the array).
int KVTP_voidparray_replace(KVTP_voidparray* a, int32_t i, void* p);
// Inserts p before position pos (clamped to 0..sz).
int KVTP_voidparray_insert_item(KVTP_voidparray* a, void* p, int32_t pos);
// Removes and returns element i; a slot holding null (or i outside the array)
// is left alone and null is returned.
void* KVTP_voidparray_remove_item(KVTP_voidparray* a, int32_t i);
int KVTP_voidparray_delete_range(KVTP_voidparray* a, int32_t start, int32_t n);
int32_t KVTP_voidparray_sz(const KVTP_voidparray* a);
void KVTP_voidparray_clear(KVTP_voidparray* a);
// Reserves room for n more elements.
int KVTP_voidparray_extend(KVTP_voidparray* a, int32_t n);

#endif  // VRELAY_TEXTPROC_VOIDPARRAY_H
