// SPDX-License-Identifier: MIT
// Helpers shared by the container implementations; not part of the toolkit's
// interface.
#ifndef VRELAY_TEXTPROC_ARRAY_INTERNAL_H
#define VRELAY_TEXTPROC_ARRAY_INTERNAL_H

#include <cstdint>
#include <new>

#include "textproc/toolkit/array.h"
#include "textproc/toolkit/oswrappers.h"

namespace kvtp_detail {

// Fills in the fields of a fresh array (no storage yet).
void array_init(KVTP_array* a, int32_t step, int32_t keep, int32_t element_size, int32_t owns);

// Ensures capacity for `needed` elements in all, by the growth rule. On
// success *old receives the previous storage when it was replaced, to be
// freed with KVTP_free once any source pointing into it has been read (the
// contents are already copied). On failure nothing changes.
bool array_reserve(KVTP_array* a, int64_t needed, char** old);

// Two-phase growth, for operations that must grow several arrays or none:
// array_plan allocates the larger storage (if the array needs it) without
// touching the array; array_commit installs it, array_abandon drops it.
struct ArrayGrowth {
    char* data = nullptr;  // null when no growth is needed
    int32_t capacity = 0;
    int32_t step = 0;
};
bool array_plan(const KVTP_array* a, int64_t needed, ArrayGrowth* g);
void array_commit(KVTP_array* a, ArrayGrowth* g);
void array_abandon(ArrayGrowth* g);

// Allocates a zeroed T (a KVTP_array or a struct derived from it) and
// initialises its array fields; null on failure.
template <typename T>
T* array_make(int32_t step, int32_t keep, int32_t element_size, int32_t owns) {
    void* p = KVTP_malloc(sizeof(T));
    if (p == nullptr)
        return nullptr;
    T* t = new (p) T();
    array_init(t, step, keep, element_size, owns);
    return t;
}

// True when p points into the used part of the array's storage.
bool array_contains(const KVTP_array* a, const void* p);

}  // namespace kvtp_detail

#endif  // VRELAY_TEXTPROC_ARRAY_INTERNAL_H
