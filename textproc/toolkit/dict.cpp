// SPDX-License-Identifier: MIT
#include "textproc/toolkit/dict.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/store.h"
#include "textproc/toolkit/string_ops.h"

namespace {

constexpr int32_t kDefaultSize = 100;
constexpr int32_t kIndexStep = 100;

int32_t scaled(int32_t multiplier, int32_t number) {
    if (multiplier == 0)
        return number;
    const int64_t v = static_cast<int64_t>(number) * multiplier;
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The plain number of a scaled one, or 0 when it is not a multiple.
int32_t unscaled(int32_t multiplier, int32_t n) {
    if (multiplier == 0)
        return n;
    const int64_t wide = n;  // INT32_MIN / -1 does not fit in 32 bits
    return wide % multiplier == 0 ? static_cast<int32_t>(wide / multiplier) : 0;
}

// Bytes of a word: up to len or its NUL, a length below 1 meaning its NUL.
size_t word_length(const char* word, int32_t len) {
    return len < 1 ? std::strlen(word) : strnlen(word, static_cast<size_t>(len));
}

}  // namespace

KVTP_dict* KVTP_dict_new_empty(int32_t size) {
    if (size < 1)
        size = kDefaultSize;
    auto* d = static_cast<KVTP_dict*>(KVTP_malloc(sizeof(KVTP_dict)));
    if (d == nullptr)
        return nullptr;
    d->hash = KVTP_hash_new(size, 1);
    d->index = KVTP_voidparray_newcustom(0, kIndexStep, 0);
    d->multiplier = 0;
    if (d->hash == nullptr || d->index == nullptr) {
        KVTP_dict_delete(d);
        return nullptr;
    }
    return d;
}

void KVTP_dict_delete(KVTP_dict* d) {
    if (d == nullptr)
        return;
    KVTP_hash_delete(d->hash);
    KVTP_voidparray_delete(d->index);
    KVTP_free(d);
}

int32_t KVTP_dict_add_entry(KVTP_dict* d, const char* word, int32_t len) {
    if (d == nullptr || word == nullptr)
        return 0;
    const KVTP_hashentry* e = KVTP_hash_match(d->hash, word, len);
    if (e != nullptr)
        return scaled(d->multiplier, e->value);
    const int32_t number = KVTP_voidparray_sz(d->index) + 1;
    if (number == INT32_MAX)
        return 0;
    const char* key = KVTP_hash_insert_uniq(d->hash, word, len, number);
    if (key == nullptr)
        return 0;
    if (!KVTP_voidparray_add(d->index, const_cast<char*>(key))) {
        KVTP_hash_remove(d->hash, word, len);
        return 0;
    }
    return scaled(d->multiplier, number);
}

int32_t KVTP_dict_lookup_word(const KVTP_dict* d, const char* word, int32_t len) {
    if (d == nullptr)
        return 0;
    const KVTP_hashentry* e = KVTP_hash_match(d->hash, word, len);
    return e == nullptr ? 0 : scaled(d->multiplier, e->value);
}

const char* KVTP_dict_lookup_index(const KVTP_dict* d, int32_t n) {
    if (d == nullptr)
        return KVTP_empty_string;
    n = unscaled(d->multiplier, n);
    const void* word = KVTP_voidparray_idx(d->index, n - 1);
    return (n < 1 || word == nullptr) ? KVTP_empty_string : static_cast<const char*>(word);
}

int32_t KVTP_dict_size(const KVTP_dict* d) {
    return d == nullptr ? 0 : KVTP_voidparray_sz(d->index);
}

void KVTP_dict_print(const KVTP_dict* d, FILE* f) {
    if (d == nullptr || f == nullptr)
        return;
    for (int32_t i = 0; i < KVTP_dict_size(d); ++i) {
        std::fprintf(f, "%d %s\n", scaled(d->multiplier, i + 1),
                     static_cast<const char*>(KVTP_voidparray_idx(d->index, i)));
    }
}

int KVTP_dict_write(const KVTP_dict* d, FILE* f) {
    if (d == nullptr || f == nullptr)
        return 0;
    kvtp_detail::StoreWriter w(f);
    w.header("KVDI");
    w.u32(static_cast<uint32_t>(d->multiplier));
    w.u32(static_cast<uint32_t>(KVTP_dict_size(d)));
    for (int32_t i = 0; i < KVTP_dict_size(d); ++i)
        w.string(static_cast<const char*>(KVTP_voidparray_idx(d->index, i)), -1);
    return w.ok() ? 1 : 0;
}

KVTP_dict* KVTP_dict_read(FILE* f) {
    kvtp_detail::StoreReader r(f);
    uint32_t multiplier = 0;
    int32_t n = 0;
    if (!r.header("KVDI") || !r.u32(&multiplier) || !r.count(&n, 4))
        return nullptr;
    // The hash is sized for the words (bounded by the file's size), so that
    // its chains stay short.
    KVTP_dict* d = KVTP_dict_new_empty(n);
    const bool ok =
        d != nullptr && kvtp_detail::read_strings(r, n, [d](const char* s, int32_t len) {
            // Numbers are positions: a word stored twice would shift them.
            const int32_t expected = KVTP_dict_size(d) + 1;
            return KVTP_dict_add_entry(d, s, len) == expected;
        });
    if (!ok) {
        KVTP_dict_delete(d);
        return nullptr;
    }
    d->multiplier = static_cast<int32_t>(multiplier);
    return d;
}

// ---------------------------------------------------------------------------
// cdict

KVTP_cdict* KVTP_cdict_new(const KVTP_dict* d) {
    if (d == nullptr)
        return nullptr;
    const int32_t n = KVTP_dict_size(d);
    size_t bytes = 0;
    for (int32_t i = 0; i < n; ++i)
        bytes += std::strlen(static_cast<const char*>(KVTP_voidparray_idx(d->index, i))) + 1;
    if (bytes > INT32_MAX)
        return nullptr;
    auto* c = static_cast<KVTP_cdict*>(KVTP_malloc(sizeof(KVTP_cdict)));
    if (c == nullptr)
        return nullptr;
    c->count = n;
    c->multiplier = d->multiplier;
    c->text = static_cast<char*>(KVTP_malloc(bytes));
    c->offset = static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(n)));
    c->sorted = static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(n)));
    if (c->text == nullptr || c->offset == nullptr || c->sorted == nullptr) {
        KVTP_cdict_delete(c);
        return nullptr;
    }
    size_t at = 0;
    for (int32_t i = 0; i < n; ++i) {
        const char* w = static_cast<const char*>(KVTP_voidparray_idx(d->index, i));
        const size_t len = std::strlen(w) + 1;
        KVTP_memcpy(c->text + at, w, len);
        c->offset[i] = static_cast<int32_t>(at);
        c->sorted[i] = i + 1;
        at += len;
    }
    std::sort(c->sorted, c->sorted + n, [c](int32_t a, int32_t b) {
        return std::strcmp(c->text + c->offset[a - 1], c->text + c->offset[b - 1]) < 0;
    });
    return c;
}

void KVTP_cdict_delete(KVTP_cdict* c) {
    if (c == nullptr)
        return;
    KVTP_free(c->text);
    KVTP_free(c->offset);
    KVTP_free(c->sorted);
    KVTP_free(c);
}

int32_t KVTP_cdict_lookup_word(const KVTP_cdict* c, const char* word, int32_t len) {
    if (c == nullptr || word == nullptr)
        return 0;
    const size_t n = word_length(word, len);
    int32_t lo = 0, hi = c->count;  // binary search over [lo, hi)
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const char* w = c->text + c->offset[c->sorted[mid] - 1];
        int cmp = std::strncmp(w, word, n);
        if (cmp == 0 && w[n] != '\0')
            cmp = 1;  // the stored word is longer
        if (cmp == 0)
            return scaled(c->multiplier, c->sorted[mid]);
        if (cmp < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

const char* KVTP_cdict_lookup_index(const KVTP_cdict* c, int32_t n) {
    if (c == nullptr)
        return KVTP_empty_string;
    n = unscaled(c->multiplier, n);
    return n < 1 || n > c->count ? KVTP_empty_string : c->text + c->offset[n - 1];
}

int32_t KVTP_cdict_size(const KVTP_cdict* c) {
    return c == nullptr ? 0 : c->count;
}

int KVTP_cdict_write(const KVTP_cdict* c, FILE* f) {
    if (c == nullptr || f == nullptr)
        return 0;
    kvtp_detail::StoreWriter w(f);
    w.header("KVDI");
    w.u32(static_cast<uint32_t>(c->multiplier));
    w.u32(static_cast<uint32_t>(c->count));
    for (int32_t i = 0; i < c->count; ++i)
        w.string(c->text + c->offset[i], -1);
    return w.ok() ? 1 : 0;
}

KVTP_cdict* KVTP_cdict_read(FILE* f) {
    KVTP_dict* d = KVTP_dict_read(f);
    KVTP_cdict* c = KVTP_cdict_new(d);
    KVTP_dict_delete(d);
    return c;
}
