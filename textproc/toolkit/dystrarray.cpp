// SPDX-License-Identifier: MIT
#include "textproc/toolkit/dystrarray.h"

#include <climits>
#include <cstdio>

#include "textproc/toolkit/array_internal.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/store.h"
#include "textproc/toolkit/string_ops.h"

namespace {

constexpr int32_t kStep = 64;
constexpr int32_t kKeep = 512;
constexpr int32_t kEmptySlot = 2;
// Slot-length byte of slots too long for one byte.
constexpr unsigned char kLongSlot = 255;

unsigned char byte_at(const KVTP_dystrarray* a, int64_t i) {
    return static_cast<unsigned char>(a->data[i]);
}

// Slot size for a string of n bytes: at least one NUL after it, even length.
int64_t slot_for(int64_t n) {
    return ((n + 2) / 2) * 2 + 2;
}

// Slot length of the entry at offset o; false when the buffer is corrupt there.
bool entry_slot(const KVTP_dystrarray* a, int32_t o, int32_t* slot) {
    if (o < 0 || o >= a->count)
        return false;
    const unsigned char lb = byte_at(a, o);
    if (lb == 0)
        return false;
    if (lb != kLongSlot) {
        if (static_cast<int64_t>(o) + lb > a->count)
            return false;
        *slot = lb;
        return true;
    }
    // Long slot: over the string, then over its NUL fill to the next entry.
    int32_t p = o + 1;
    while (p < a->count && byte_at(a, p) != 0)
        ++p;
    while (p < a->count && byte_at(a, p) == 0)
        ++p;
    *slot = p - o;
    return true;
}

// Offset and slot length of entry i.
bool find_entry(const KVTP_dystrarray* a, int32_t i, int32_t* off, int32_t* slot) {
    if (a == nullptr || i < 0)
        return false;
    int32_t o = 0;
    for (int32_t k = 0;; ++k) {
        if (!entry_slot(a, o, slot))
            return false;
        if (k == i) {
            *off = o;
            return true;
        }
        o += *slot;
    }
}

// Writes one entry of `slot` bytes holding n bytes of text at dst.
void write_entry(char* dst, int64_t slot, const char* text, int32_t n) {
    dst[0] = static_cast<char>(slot >= kLongSlot ? kLongSlot : slot);
    KVTP_memmove(dst + 1, text, static_cast<size_t>(n));
    KVTP_memset(dst + 1 + n, 0, static_cast<size_t>(slot - 1 - n));
}

// Sets entry i to its first `keep` bytes followed by the text.
int set_entry(KVTP_dystrarray* a, int32_t i, int32_t keep, const char* text, int32_t len) {
    int32_t o = 0, slot = 0;
    if (!find_entry(a, i, &o, &slot))
        return 0;
    const int32_t cur = KVTP_strnlen(a->data + o + 1, slot - 1);
    if (keep > cur)
        keep = cur;
    const int32_t n = KVTP_strnlen(text, len);
    const int64_t new_len = static_cast<int64_t>(keep) + n;
    if (new_len + 2 <= slot) {
        KVTP_memmove(a->data + o + 1 + keep, text, static_cast<size_t>(n));
        KVTP_memset(a->data + o + 1 + new_len, 0, static_cast<size_t>(slot - 1 - new_len));
        return 1;
    }
    const int64_t new_slot = slot_for(new_len);
    const int64_t delta = new_slot - slot;
    // The text may lie in this array; find it again after the tail moves.
    const bool aliased = kvtp_detail::array_contains(a, text);
    const int64_t toff = aliased ? text - a->data : 0;
    char* old = nullptr;
    if (!kvtp_detail::array_reserve(a, a->count + delta, &old))
        return 0;
    const int32_t tail = o + slot;
    KVTP_memmove(a->data + tail + delta, a->data + tail, static_cast<size_t>(a->count - tail));
    a->count += static_cast<int32_t>(delta);
    const char* src = aliased ? a->data + (toff >= tail ? toff + delta : toff) : text;
    KVTP_memmove(a->data + o + 1 + keep, src, static_cast<size_t>(n));
    KVTP_memset(a->data + o + 1 + new_len, 0, static_cast<size_t>(new_slot - 1 - new_len));
    a->data[o] = static_cast<char>(new_slot >= kLongSlot ? kLongSlot : new_slot);
    KVTP_free(old);
    return 1;
}

int32_t even_slot(int32_t slot) {
    if (slot < kEmptySlot)
        return kEmptySlot;
    if (slot % 2 != 0)
        return slot == INT32_MAX ? slot - 1 : slot + 1;
    return slot;
}

// Writes n empty entries of `slot` bytes from offset 0 (room already there).
void write_empty_entries(KVTP_dystrarray* a, int32_t n, int32_t slot) {
    for (int32_t k = 0; k < n; ++k) {
        write_entry(a->data + static_cast<int64_t>(k) * slot, slot, nullptr, 0);
    }
    a->count = n * slot;
}

}  // namespace

KVTP_dystrarray* KVTP_dystrarray_newcustom(int32_t n, int32_t reserve, int32_t slot, int32_t step,
                                           int32_t keep) {
    if (n < 0)
        n = 0;
    slot = even_slot(slot);
    const int64_t needed = static_cast<int64_t>(n) * slot;
    if (needed > INT32_MAX)
        return nullptr;
    KVTP_dystrarray* a = kvtp_detail::array_make<KVTP_dystrarray>(step, keep, 1, 0);
    if (a == nullptr)
        return nullptr;
    const int64_t cap = reserve > needed ? reserve : needed;
    if (cap > 0) {
        a->data = static_cast<char*>(KVTP_malloc(static_cast<size_t>(cap)));
        if (a->data == nullptr) {
            KVTP_free(a);
            return nullptr;
        }
        a->capacity = static_cast<int32_t>(cap);
    }
    write_empty_entries(a, n, slot);
    return a;
}

KVTP_dystrarray* KVTP_dystrarray_new(int32_t n) {
    return KVTP_dystrarray_newcustom(n, 0, kEmptySlot, kStep, kKeep);
}

KVTP_dystrarray* KVTP_dystrarray_newprealloc(int32_t reserve) {
    return KVTP_dystrarray_newcustom(0, reserve, kEmptySlot, kStep, kKeep);
}

void KVTP_dystrarray_delete(KVTP_dystrarray* a) {
    KVTP_array_delete(a);
}

int KVTP_dystrarray_add(KVTP_dystrarray* a, const char* text, int32_t len) {
    if (a == nullptr)
        return 0;
    const int32_t n = KVTP_strnlen(text, len);
    const int64_t slot = slot_for(n);
    const bool aliased = kvtp_detail::array_contains(a, text);
    const int64_t toff = aliased ? text - a->data : 0;
    char* old = nullptr;
    if (!kvtp_detail::array_reserve(a, a->count + slot, &old))
        return 0;
    const char* src = aliased ? a->data + toff : text;
    write_entry(a->data + a->count, slot, src, n);
    a->count += static_cast<int32_t>(slot);
    KVTP_free(old);
    return 1;
}

int KVTP_dystrarray_add_delim(KVTP_dystrarray* a, const char* text, int32_t len, int delim) {
    if (a == nullptr)
        return 0;
    const int32_t total = KVTP_strnlen(text, len);
    const char d = static_cast<char>(delim);
    // First pass: the bytes all the slots need.
    int64_t needed = 0;
    for (int32_t start = 0;;) {
        int32_t end = start;
        while (end < total && (d == '\0' || text[end] != d))
            ++end;
        needed += slot_for(end - start);
        if (end >= total)
            break;
        start = end + 1;
    }
    const bool aliased = kvtp_detail::array_contains(a, text);
    const int64_t toff = aliased ? text - a->data : 0;
    char* old = nullptr;
    if (!kvtp_detail::array_reserve(a, a->count + needed, &old))
        return 0;
    const char* src = aliased ? a->data + toff : text;
    for (int32_t start = 0;;) {
        int32_t end = start;
        while (end < total && (d == '\0' || src[end] != d))
            ++end;
        const int64_t slot = slot_for(end - start);
        write_entry(a->data + a->count, slot, src + start, end - start);
        a->count += static_cast<int32_t>(slot);
        if (end >= total)
            break;
        start = end + 1;
    }
    KVTP_free(old);
    return 1;
}

char* KVTP_dystrarray_idx(const KVTP_dystrarray* a, int32_t i) {
    int32_t o = 0, slot = 0;
    if (!find_entry(a, i, &o, &slot))
        return nullptr;
    return a->data + o + 1;
}

char* KVTP_dystrarray_next(const KVTP_dystrarray* a, const char* p) {
    if (a == nullptr || !kvtp_detail::array_contains(a, p) || p == a->data)
        return nullptr;
    const int32_t o = static_cast<int32_t>(p - a->data) - 1;
    int32_t slot = 0;
    if (!entry_slot(a, o, &slot))
        return nullptr;
    const int32_t next = o + slot;
    if (next >= a->count || !entry_slot(a, next, &slot))
        return nullptr;
    return a->data + next + 1;
}

int32_t KVTP_dystrarray_sz(const KVTP_dystrarray* a) {
    if (a == nullptr)
        return 0;
    int32_t o = 0, n = 0, slot = 0;
    while (o < a->count && entry_slot(a, o, &slot)) {
        o += slot;
        ++n;
    }
    if (o != a->count) {
        std::fprintf(stderr,
                     "Internal structure of dystrarray corrupted: expected size %d, found %d.\n",
                     a->count, o);
        return 0;
    }
    return n;
}

namespace {

// Writes a's record through w (a null file only counts); false for a corrupt
// array, whose walk does not end exactly at the buffer's end.
bool store_entries(const KVTP_dystrarray* a, kvtp_detail::StoreWriter& w) {
    int32_t n = 0, o = 0, slot = 0;
    while (o < a->count && entry_slot(a, o, &slot)) {
        o += slot;
        ++n;
    }
    if (o != a->count)
        return false;
    w.header("KVDA");
    w.u32(static_cast<uint32_t>(n));
    for (o = 0; o < a->count; o += slot) {
        entry_slot(a, o, &slot);
        w.string(a->data + o + 1, slot - 1);  // the string ends within its slot
    }
    return w.ok();
}

}  // namespace

int KVTP_dystrarray_write(const KVTP_dystrarray* a, FILE* f) {
    if (a == nullptr || f == nullptr)
        return 0;
    kvtp_detail::StoreWriter w(f);
    return store_entries(a, w) ? 1 : 0;
}

int64_t KVTP_dystrarray_write_sz(const KVTP_dystrarray* a) {
    kvtp_detail::StoreWriter w(nullptr);
    return a != nullptr && store_entries(a, w) ? w.written() : 0;
}

KVTP_dystrarray* KVTP_dystrarray_read(FILE* f) {
    kvtp_detail::StoreReader r(f);
    int32_t n = 0;
    if (!r.header("KVDA") || !r.count(&n, 4))
        return nullptr;
    KVTP_dystrarray* a = KVTP_dystrarray_new(0);
    if (a == nullptr || !kvtp_detail::read_strings(r, n, [a](const char* s, int32_t len) {
            return KVTP_dystrarray_add(a, s, len) == 1;
        })) {
        KVTP_dystrarray_delete(a);
        return nullptr;
    }
    return a;
}

int KVTP_dystrarray_replace(KVTP_dystrarray* a, int32_t i, const char* text, int32_t len) {
    return set_entry(a, i, 0, text, len);
}

int KVTP_dystrarray_append(KVTP_dystrarray* a, int32_t i, const char* text, int32_t len) {
    return set_entry(a, i, INT32_MAX, text, len);
}

int KVTP_dystrarray_remove(KVTP_dystrarray* a, int32_t i) {
    int32_t o = 0, slot = 0;
    if (!find_entry(a, i, &o, &slot))
        return 0;
    return KVTP_array_delete_range(a, o, slot);
}

int KVTP_dystrarray_clearcustom(KVTP_dystrarray* a, int32_t n, int32_t slot) {
    if (a == nullptr)
        return 0;
    if (n < 0)
        n = 0;
    slot = even_slot(slot);
    const int64_t needed = static_cast<int64_t>(n) * slot;
    if (needed > INT32_MAX)
        return 0;
    if (a->capacity <= a->keep_limit && needed <= a->capacity) {
        KVTP_array_clear(a);
    } else {
        // Fresh storage, allocated before anything is given up.
        const int64_t cap = needed == 0 ? 0 : (needed > a->growth_step ? needed : a->growth_step);
        char* fresh = nullptr;
        if (cap > 0) {
            fresh = static_cast<char*>(KVTP_malloc(static_cast<size_t>(cap)));
            if (fresh == nullptr)
                return 0;
        }
        KVTP_free(a->data);
        a->data = fresh;
        a->capacity = static_cast<int32_t>(cap);
        a->count = 0;
    }
    write_empty_entries(a, n, slot);
    return 1;
}

int KVTP_dystrarray_clear(KVTP_dystrarray* a, int32_t n) {
    return KVTP_dystrarray_clearcustom(a, n, kEmptySlot);
}

int KVTP_dystrarray_copy(KVTP_dystrarray* dst, const KVTP_dystrarray* src) {
    if (dst == nullptr || src == nullptr)
        return 0;
    if (dst == src)
        return 1;
    return KVTP_array_replace(dst, src->data, src->count);
}
