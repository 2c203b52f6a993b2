// SPDX-License-Identifier: MIT
// The generic growable array every toolkit container is built on.
//
// Growth (any operation that needs room): when count + n exceeds capacity, the
// growth step is first doubled if it is below capacity / 32; capacity then
// grows by the larger of the shortfall and the step, into fresh zero-filled
// storage. Clearing frees owned elements, then gives the storage back only when
// capacity exceeds the keep limit. An operation whose allocation fails returns
// 0 and leaves the array exactly as it was.
#ifndef VRELAY_TEXTPROC_ARRAY_H
#define VRELAY_TEXTPROC_ARRAY_H

#include <cstdint>

struct KVTP_array {
    int32_t growth_step;    // minimum elements added when growing
    int32_t keep_limit;     // capacity up to which clearing keeps the storage
    int32_t capacity;       // allocated elements
    int32_t count;          // used elements
    int32_t element_size;   // bytes per element
    int32_t owns_elements;  // elements are pointers freed by clear/delete
    char* data;             // storage, null when capacity is 0
};

// Null on failure or when element_size < 1 (or an owning array's element is
// not pointer-sized). A step below 1 counts as 1, a negative keep limit as 0.
KVTP_array* KVTP_array_new(int32_t growth_step, int32_t keep_limit, int32_t element_size,
                           int32_t owns_elements);
// Frees owned elements, the storage and the array; null is accepted.
void KVTP_array_delete(KVTP_array* a);
// Frees owned elements and resets the count (storage kept up to the keep limit).
void KVTP_array_clear(KVTP_array* a);

// Makes room for n more elements without changing the count.
int KVTP_array_extend(KVTP_array* a, int32_t n);
// Adds n zeroed elements to the count within the existing capacity; 0 when
// they do not fit.
int KVTP_array_extendsz(KVTP_array* a, int32_t n);
// Appends n elements copied from `elems` (null: zeros).
int KVTP_array_append(KVTP_array* a, const void* elems, int32_t n);
// Byte arrays holding a NUL-terminated string: appends n bytes of s (n < 0:
// its string length) over the terminating NUL and adds a new NUL.
int KVTP_array_append_null(KVTP_array* a, const char* s, int32_t n);
// Appends n copies of one element (null: zeros).
int KVTP_array_fill(KVTP_array* a, const void* elem, int32_t n);
// Element i, or null when i is outside 0..count-1.
void* KVTP_array_idx(const KVTP_array* a, int32_t i);
// Inserts n elements (null: zeros) before position pos, clamped to 0..count.
int KVTP_array_insert_range(KVTP_array* a, const void* elems, int32_t n, int32_t pos);
// Makes the contents exactly the n given elements (null: zeros); owned
// elements previously held are freed. `elems` must not point into the array.
int KVTP_array_replace(KVTP_array* a, const void* elems, int32_t n);
// Sets the count to n: new elements are zero, dropped owned elements freed.
int KVTP_array_resize(KVTP_array* a, int32_t n);
// Removes n elements from start (both clamped to the array), freeing owned
// ones. Returns 1, 0 for a null array.
int KVTP_array_delete_range(KVTP_array* a, int32_t start, int32_t n);
// Removes the first n elements (at most all).
int KVTP_array_delete_upto(KVTP_array* a, int32_t n);
// Used elements; 0 for null.
int32_t KVTP_array_sz(const KVTP_array* a);

#endif  // VRELAY_TEXTPROC_ARRAY_H
