// SPDX-License-Identifier: MIT
#include "textproc/toolkit/complkp.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/store.h"
#include "textproc/toolkit/strarray.h"

namespace {

constexpr int32_t kBlock = 16;
constexpr size_t kMaxShared = 255;

size_t common_prefix(const unsigned char* a, size_t an, const unsigned char* b, size_t bn) {
    size_t i = 0;
    while (i < an && i < bn && a[i] == b[i])
        ++i;
    return i;
}

size_t leb_size(size_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

unsigned char* leb_put(unsigned char* p, size_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<unsigned char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<unsigned char>(v);
    return p;
}

// One front-coded key: shared bytes, then the rest.
struct Entry {
    size_t shared;
    size_t len;  // of the rest
    const unsigned char* rest;
};

// Decodes the entry at p (built by this module, so trusted); returns the next.
const unsigned char* decode(const unsigned char* p, Entry* e) {
    e->shared = *p++;
    e->len = 0;
    for (int shift = 0;; shift += 7) {
        const unsigned char b = *p++;
        e->len |= static_cast<size_t>(b & 0x7F) << shift;
        if ((b & 0x80) == 0)
            break;
    }
    e->rest = p;
    return p + e->len;
}

const unsigned char* bytes_of(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

}  // namespace

KVTP_complkp* KVTP_complkp_new(const char* const* keys, const int32_t* values, int32_t n) {
    if (n < 0 || (n > 0 && (keys == nullptr || values == nullptr)))
        return nullptr;
    for (int32_t i = 0; i < n; ++i) {
        if (keys[i] == nullptr)
            return nullptr;
    }
    auto* c = static_cast<KVTP_complkp*>(KVTP_malloc(sizeof(KVTP_complkp)));
    auto* order = static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(n)));
    auto* sorted_values =
        static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(n)));
    bool ok = c != nullptr && order != nullptr && sorted_values != nullptr;
    if (ok) {
        for (int32_t i = 0; i < n; ++i)
            order[i] = i;
        std::sort(order, order + n,
                  [keys](int32_t a, int32_t b) { return std::strcmp(keys[a], keys[b]) < 0; });
        c->count = n;
        c->nblocks = (n + kBlock - 1) / kBlock;
    }
    // Sizes first, then one block for all keys.
    size_t total = 0;
    for (int32_t i = 0; ok && i < n; ++i) {
        const char* k = keys[order[i]];
        const size_t len = std::strlen(k);
        size_t shared = 0;
        if (i % kBlock != 0) {
            const char* prev = keys[order[i - 1]];
            if (std::strcmp(prev, k) == 0)
                ok = false;  // repeated key
            shared = std::min(kMaxShared,
                              common_prefix(bytes_of(prev), std::strlen(prev), bytes_of(k), len));
        } else if (i > 0 && std::strcmp(keys[order[i - 1]], k) == 0) {
            ok = false;
        }
        total += 1 + leb_size(len - shared) + len - shared;
        ok = ok && total <= INT32_MAX && len <= INT32_MAX;
        if (ok)
            c->longest = std::max(c->longest, static_cast<int32_t>(len));
    }
    if (ok) {
        c->keys = static_cast<unsigned char*>(KVTP_malloc(total));
        c->block =
            static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(c->nblocks)));
        for (int32_t i = 0; i < n; ++i)
            sorted_values[i] = values[order[i]];
        c->values = KVTP_carray_new(sorted_values, n);
        ok = c->keys != nullptr && c->block != nullptr && c->values != nullptr;
        if (!ok) {
            KVTP_free(c->keys);
            KVTP_free(c->block);
            KVTP_carray_delete(c->values);
        }
    }
    if (ok) {
        unsigned char* p = c->keys;
        for (int32_t i = 0; i < n; ++i) {
            const char* k = keys[order[i]];
            const size_t len = std::strlen(k);
            size_t shared = 0;
            if (i % kBlock == 0) {
                c->block[i / kBlock] = static_cast<int32_t>(p - c->keys);
            } else {
                const char* prev = keys[order[i - 1]];
                shared = std::min(
                    kMaxShared, common_prefix(bytes_of(prev), std::strlen(prev), bytes_of(k), len));
            }
            *p++ = static_cast<unsigned char>(shared);
            p = leb_put(p, len - shared);
            KVTP_memcpy(p, k + shared, len - shared);
            p += len - shared;
        }
    }
    KVTP_free(order);
    KVTP_free(sorted_values);
    if (!ok) {
        KVTP_free(c);
        return nullptr;
    }
    return c;
}

void KVTP_complkp_delete(KVTP_complkp* c) {
    if (c == nullptr)
        return;
    KVTP_free(c->keys);
    KVTP_free(c->block);
    KVTP_carray_delete(c->values);
    KVTP_free(c);
}

int KVTP_complkp_lookup(const KVTP_complkp* c, const char* key, int32_t len, int32_t* value) {
    if (c == nullptr || key == nullptr || c->count == 0)
        return 0;
    const unsigned char* k = bytes_of(key);
    const size_t kn = len < 0 ? std::strlen(key) : strnlen(key, static_cast<size_t>(len));
    // The last block whose first key is not greater than the key.
    int32_t lo = 0, hi = c->nblocks;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        Entry e;
        decode(c->keys + c->block[mid], &e);
        const size_t m = common_prefix(e.rest, e.len, k, kn);
        const bool first_not_greater = m == e.len || (m < kn && e.rest[m] < k[m]);
        if (first_not_greater)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return 0;
    const int32_t b = lo - 1;
    // Scan the block. `matched` is how many leading bytes the previous key
    // shares with the wanted one; the previous key is always smaller.
    const unsigned char* p = c->keys + c->block[b];
    const int32_t end = std::min(c->count, (b + 1) * kBlock);
    size_t matched = 0;
    for (int32_t i = b * kBlock; i < end; ++i) {
        Entry e;
        p = decode(p, &e);
        if (e.shared > matched)
            continue;  // differs from the key where the previous one did
        const size_t m = e.shared + common_prefix(e.rest, e.len, k + e.shared, kn - e.shared);
        const size_t klen = e.shared + e.len;
        if (m == klen && m == kn) {
            if (value != nullptr)
                *value = static_cast<int32_t>(KVTP_carray_idx(c->values, i));
            return 1;
        }
        const bool smaller = m == klen || (m < kn && e.rest[m - e.shared] < k[m]);
        if (!smaller)
            return 0;  // sorted: every later key is greater too
        matched = m;
    }
    return 0;
}

int32_t KVTP_complkp_sz(const KVTP_complkp* c) {
    return c == nullptr ? 0 : c->count;
}

int KVTP_complkp_write(const KVTP_complkp* c, FILE* f) {
    if (c == nullptr || f == nullptr)
        return 0;
    auto* key = static_cast<char*>(KVTP_malloc(static_cast<size_t>(c->longest) + 1));
    if (key == nullptr)
        return 0;
    kvtp_detail::StoreWriter w(f);
    w.header("KVCL");
    w.u32(static_cast<uint32_t>(c->count));
    const unsigned char* p = c->keys;
    for (int32_t i = 0; i < c->count; ++i) {
        Entry e;
        p = decode(p, &e);
        KVTP_memcpy(key + e.shared, e.rest, e.len);
        w.string(key, static_cast<int32_t>(e.shared + e.len));
        w.u32(static_cast<uint32_t>(KVTP_carray_idx(c->values, i)));
    }
    KVTP_free(key);
    return w.ok() ? 1 : 0;
}

KVTP_complkp* KVTP_complkp_read(FILE* f) {
    kvtp_detail::StoreReader r(f);
    int32_t n = 0;
    if (!r.header("KVCL") || !r.count(&n, 8))
        return nullptr;
    KVTP_strarray* keys = KVTP_strarray_new_custom(64, 0);
    auto* values = static_cast<int32_t*>(KVTP_calloc(sizeof(int32_t), static_cast<size_t>(n)));
    bool ok = keys != nullptr && values != nullptr;
    for (int32_t i = 0; ok && i < n; ++i) {
        int32_t len = 0;
        uint32_t v = 0;
        char* s = r.string(&len);
        ok = s != nullptr && r.u32(&v) && KVTP_strarray_add_nocopy(keys, s) == 1;
        if (!ok) {
            KVTP_free(s);
            break;
        }
        values[i] = static_cast<int32_t>(v);
        // Stored in ascending order: anything else is not a record we wrote.
        ok = i == 0 || std::strcmp(KVTP_strarray_idx(keys, i - 1), s) < 0;
    }
    KVTP_complkp* c = nullptr;
    if (ok) {
        c = KVTP_complkp_new(reinterpret_cast<const char* const*>(keys->data), values, n);
    }
    KVTP_strarray_delete(keys);
    KVTP_free(values);
    return c;
}
