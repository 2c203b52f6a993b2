// SPDX-License-Identifier: MIT
// The generic growable array. Storage past the count is kept zero-filled, so
// an array extended within its capacity always shows zero elements.
#include "textproc/toolkit/array.h"

#include <climits>
#include <cstring>

#include "textproc/toolkit/array_internal.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

size_t bytes(const KVTP_array* a, int64_t n) {
    return static_cast<size_t>(n) * static_cast<size_t>(a->element_size);
}

char* at(const KVTP_array* a, int64_t i) {
    return a->data + bytes(a, i);
}

// Frees the owned pointers in elements [from, to).
void free_elements(KVTP_array* a, int32_t from, int32_t to) {
    if (!a->owns_elements)
        return;
    for (int32_t i = from; i < to; ++i) {
        void* p = nullptr;
        std::memcpy(&p, at(a, i), sizeof p);
        KVTP_free(p);
    }
}

}  // namespace

namespace kvtp_detail {

void array_init(KVTP_array* a, int32_t step, int32_t keep, int32_t element_size, int32_t owns) {
    a->growth_step = step < 1 ? 1 : step;
    a->keep_limit = keep < 0 ? 0 : keep;
    a->capacity = 0;
    a->count = 0;
    a->element_size = element_size;
    a->owns_elements = owns ? 1 : 0;
    a->data = nullptr;
}

bool array_plan(const KVTP_array* a, int64_t needed, ArrayGrowth* g) {
    *g = ArrayGrowth();
    if (needed <= a->capacity)
        return true;
    if (needed > INT32_MAX)
        return false;
    int64_t step = a->growth_step;
    if (step < a->capacity / 32)
        step *= 2;
    const int64_t shortfall = needed - a->capacity;
    int64_t new_cap = a->capacity + (shortfall > step ? shortfall : step);
    if (new_cap > INT32_MAX)
        new_cap = INT32_MAX;
    // Keep the byte size representable even for large elements.
    if (static_cast<uint64_t>(new_cap) >
        static_cast<uint64_t>(PTRDIFF_MAX) / static_cast<uint64_t>(a->element_size)) {
        return false;
    }
    g->data = static_cast<char*>(KVTP_malloc(bytes(a, new_cap)));
    if (g->data == nullptr)
        return false;
    g->capacity = static_cast<int32_t>(new_cap);
    g->step = static_cast<int32_t>(step);
    return true;
}

void array_commit(KVTP_array* a, ArrayGrowth* g) {
    if (g->data == nullptr)
        return;
    KVTP_memcpy(g->data, a->data, bytes(a, a->count));
    KVTP_free(a->data);
    a->data = g->data;
    a->capacity = g->capacity;
    a->growth_step = g->step;
    *g = ArrayGrowth();
}

void array_abandon(ArrayGrowth* g) {
    KVTP_free(g->data);
    *g = ArrayGrowth();
}

bool array_reserve(KVTP_array* a, int64_t needed, char** old) {
    *old = nullptr;
    ArrayGrowth g;
    if (!array_plan(a, needed, &g))
        return false;
    if (g.data == nullptr)
        return true;
    // Like array_commit, but the old storage is handed back to the caller.
    KVTP_memcpy(g.data, a->data, bytes(a, a->count));
    *old = a->data;
    a->data = g.data;
    a->capacity = g.capacity;
    a->growth_step = g.step;
    return true;
}

bool array_contains(const KVTP_array* a, const void* p) {
    if (a->data == nullptr || p == nullptr)
        return false;
    const char* c = static_cast<const char*>(p);
    return c >= a->data && c < a->data + bytes(a, a->count);
}

}  // namespace kvtp_detail

using kvtp_detail::array_reserve;

KVTP_array* KVTP_array_new(int32_t growth_step, int32_t keep_limit, int32_t element_size,
                           int32_t owns_elements) {
    if (element_size < 1)
        return nullptr;
    if (owns_elements && element_size != static_cast<int32_t>(sizeof(void*)))
        return nullptr;
    return kvtp_detail::array_make<KVTP_array>(growth_step, keep_limit, element_size,
                                               owns_elements);
}

void KVTP_array_delete(KVTP_array* a) {
    if (a == nullptr)
        return;
    free_elements(a, 0, a->count);
    KVTP_free(a->data);
    KVTP_free(a);
}

void KVTP_array_clear(KVTP_array* a) {
    if (a == nullptr)
        return;
    free_elements(a, 0, a->count);
    if (a->capacity > a->keep_limit) {
        KVTP_free(a->data);
        a->data = nullptr;
        a->capacity = 0;
    } else if (a->data != nullptr) {
        KVTP_memset(a->data, 0, bytes(a, a->count));
    }
    a->count = 0;
}

int KVTP_array_extend(KVTP_array* a, int32_t n) {
    if (a == nullptr || n < 0)
        return 0;
    char* old = nullptr;
    if (!array_reserve(a, static_cast<int64_t>(a->count) + n, &old))
        return 0;
    KVTP_free(old);
    return 1;
}

int KVTP_array_extendsz(KVTP_array* a, int32_t n) {
    if (a == nullptr || n < 0)
        return 0;
    if (static_cast<int64_t>(a->count) + n > a->capacity)
        return 0;
    if (n > 0)
        KVTP_memset(at(a, a->count), 0, bytes(a, n));
    a->count += n;
    return 1;
}

int KVTP_array_append(KVTP_array* a, const void* elems, int32_t n) {
    return KVTP_array_insert_range(a, elems, n, a == nullptr ? 0 : a->count);
}

int KVTP_array_append_null(KVTP_array* a, const char* s, int32_t n) {
    if (a == nullptr || a->element_size != 1)
        return 0;
    if (n < 0)
        n = s == nullptr ? 0 : static_cast<int32_t>(std::strlen(s));
    if (s == nullptr && n > 0)
        return 0;
    // Write over the terminating NUL when there is one.
    const int32_t base = (a->count > 0 && a->data[a->count - 1] == '\0') ? a->count - 1 : a->count;
    char* old = nullptr;
    if (!array_reserve(a, static_cast<int64_t>(base) + n + 1, &old))
        return 0;
    KVTP_memmove(a->data + base, s, static_cast<size_t>(n));
    a->data[base + n] = '\0';
    a->count = base + n + 1;
    KVTP_free(old);
    return 1;
}

int KVTP_array_fill(KVTP_array* a, const void* elem, int32_t n) {
    if (a == nullptr || n < 0)
        return 0;
    // Copy the element first: it may live in the storage that growth replaces.
    char one[64];
    char* tmp = nullptr;
    if (elem != nullptr) {
        tmp = a->element_size <= static_cast<int32_t>(sizeof one)
                  ? one
                  : static_cast<char*>(KVTP_malloc(static_cast<size_t>(a->element_size)));
        if (tmp == nullptr)
            return 0;
        KVTP_memcpy(tmp, elem, static_cast<size_t>(a->element_size));
    }
    char* old = nullptr;
    const bool ok = array_reserve(a, static_cast<int64_t>(a->count) + n, &old);
    if (ok) {
        for (int32_t i = 0; i < n; ++i) {
            if (tmp != nullptr) {
                KVTP_memcpy(at(a, a->count + i), tmp, static_cast<size_t>(a->element_size));
            } else {
                KVTP_memset(at(a, a->count + i), 0, static_cast<size_t>(a->element_size));
            }
        }
        a->count += n;
        KVTP_free(old);
    }
    if (tmp != one)
        KVTP_free(tmp);
    return ok ? 1 : 0;
}

void* KVTP_array_idx(const KVTP_array* a, int32_t i) {
    if (a == nullptr || i < 0 || i >= a->count)
        return nullptr;
    return at(a, i);
}

int KVTP_array_insert_range(KVTP_array* a, const void* elems, int32_t n, int32_t pos) {
    if (a == nullptr || n < 0)
        return 0;
    if (n == 0)
        return 1;
    if (pos < 0)
        pos = 0;
    if (pos > a->count)
        pos = a->count;
    // A source inside the array would move with the tail: copy it out first.
    char* copy = nullptr;
    if (kvtp_detail::array_contains(a, elems)) {
        copy = static_cast<char*>(KVTP_malloc(bytes(a, n)));
        if (copy == nullptr)
            return 0;
        KVTP_memcpy(copy, elems, bytes(a, n));
        elems = copy;
    }
    char* old = nullptr;
    if (!array_reserve(a, static_cast<int64_t>(a->count) + n, &old)) {
        KVTP_free(copy);
        return 0;
    }
    KVTP_memmove(at(a, pos + n), at(a, pos), bytes(a, a->count - pos));
    if (elems != nullptr) {
        KVTP_memcpy(at(a, pos), elems, bytes(a, n));
    } else {
        KVTP_memset(at(a, pos), 0, bytes(a, n));
    }
    a->count += n;
    KVTP_free(old);
    KVTP_free(copy);
    return 1;
}

int KVTP_array_replace(KVTP_array* a, const void* elems, int32_t n) {
    if (a == nullptr || n < 0)
        return 0;
    char* old = nullptr;
    if (!array_reserve(a, n, &old))
        return 0;
    free_elements(a, 0, a->count);
    if (elems != nullptr) {
        KVTP_memmove(a->data, elems, bytes(a, n));
    } else if (n > 0) {
        KVTP_memset(a->data, 0, bytes(a, n));
    }
    if (a->count > n)
        KVTP_memset(at(a, n), 0, bytes(a, a->count - n));
    a->count = n;
    KVTP_free(old);
    return 1;
}

int KVTP_array_resize(KVTP_array* a, int32_t n) {
    if (a == nullptr || n < 0)
        return 0;
    if (n > a->count)
        return KVTP_array_insert_range(a, nullptr, n - a->count, a->count);
    return KVTP_array_delete_range(a, n, a->count - n);
}

int KVTP_array_delete_range(KVTP_array* a, int32_t start, int32_t n) {
    if (a == nullptr)
        return 0;
    if (start < 0)
        start = 0;
    if (start > a->count)
        start = a->count;
    if (n < 0)
        n = 0;
    if (n > a->count - start)
        n = a->count - start;
    if (n == 0)
        return 1;
    free_elements(a, start, start + n);
    KVTP_memmove(at(a, start), at(a, start + n), bytes(a, a->count - start - n));
    a->count -= n;
    KVTP_memset(at(a, a->count), 0, bytes(a, n));
    return 1;
}

int KVTP_array_delete_upto(KVTP_array* a, int32_t n) {
    return KVTP_array_delete_range(a, 0, n);
}

int32_t KVTP_array_sz(const KVTP_array* a) {
    return a == nullptr ? 0 : a->count;
}
