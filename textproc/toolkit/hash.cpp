// SPDX-License-Identifier: MIT
#include "textproc/toolkit/hash.h"

#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

constexpr uint32_t kMultiplier = 17109811u;
constexpr int32_t kMaxBuckets = 1 << 30;

// Key bytes: up to len or the first NUL; a length below 1 is the string.
int32_t key_len(const char* key, int32_t len) {
    return KVTP_strnlen(key, len < 1 ? -1 : len);
}

uint32_t hash_bytes(const char* key, int32_t n) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(key);
    uint32_t h = 0;
    int32_t i = 0;
    for (; i + 1 < n; i += 2)
        h = (b[i] * 256u + b[i + 1] + h) * kMultiplier;
    if (i < n)
        h = (b[i] * 256u + h) * kMultiplier;
    return (h + static_cast<uint32_t>(n)) * kMultiplier;
}

uint32_t bucket_of(const KVTP_hash* h, uint32_t value) {
    return value & static_cast<uint32_t>(h->nbuckets - 1);
}

bool same_key(const KVTP_hashentry* e, const char* key, int32_t n) {
    if (e->len != n)
        return false;
    for (int32_t i = 0; i < n; ++i) {
        if (e->key[i] != key[i])
            return false;
    }
    return true;
}

const char* insert(KVTP_hash* h, const char* key, int32_t len, int32_t value, bool copy) {
    if (h == nullptr || key == nullptr || !h->mutable_flag)
        return nullptr;
    const int32_t n = key_len(key, len);
    if (KVTP_hash_match(h, key, n == 0 ? -1 : n) != nullptr)
        return nullptr;
    auto* e = static_cast<KVTP_hashentry*>(KVTP_malloc(sizeof(KVTP_hashentry)));
    if (e == nullptr)
        return nullptr;
    if (copy) {
        e->key = KVTP_strndup(key, n);
        if (e->key == nullptr) {
            KVTP_free(e);
            return nullptr;
        }
    } else {
        e->key = const_cast<char*>(key);
    }
    e->len = n;
    e->value = value;
    e->owns_key = copy ? 1 : 0;
    const uint32_t b = bucket_of(h, hash_bytes(key, n));
    e->next = h->buckets[b];
    h->buckets[b] = e;
    ++h->count;
    return e->key;
}

}  // namespace

KVTP_hash* KVTP_hash_new(int32_t size, int32_t mutable_flag) {
    int32_t nb = 2;
    while (nb < size && nb < kMaxBuckets)
        nb *= 2;
    auto* h = static_cast<KVTP_hash*>(KVTP_malloc(sizeof(KVTP_hash)));
    if (h == nullptr)
        return nullptr;
    h->buckets = static_cast<KVTP_hashentry**>(
        KVTP_calloc(sizeof(KVTP_hashentry*), static_cast<size_t>(nb)));
    if (h->buckets == nullptr) {
        KVTP_free(h);
        return nullptr;
    }
    h->nbuckets = nb;
    h->count = 0;
    h->mutable_flag = mutable_flag ? 1 : 0;
    return h;
}

void KVTP_hash_delete(KVTP_hash* h) {
    if (h == nullptr)
        return;
    for (int32_t b = 0; b < h->nbuckets; ++b) {
        for (KVTP_hashentry* e = h->buckets[b]; e != nullptr;) {
            KVTP_hashentry* next = e->next;
            if (e->owns_key)
                KVTP_free(e->key);
            KVTP_free(e);
            e = next;
        }
    }
    KVTP_free(h->buckets);
    KVTP_free(h);
}

uint32_t KVTP_hash_value(const char* key, int32_t len) {
    return key == nullptr ? hash_bytes("", 0) : hash_bytes(key, key_len(key, len));
}

KVTP_hashentry* KVTP_hash_match(const KVTP_hash* h, const char* key, int32_t len) {
    if (h == nullptr || key == nullptr)
        return nullptr;
    const int32_t n = key_len(key, len);
    for (KVTP_hashentry* e = h->buckets[bucket_of(h, hash_bytes(key, n))]; e != nullptr;
         e = e->next) {
        if (same_key(e, key, n))
            return e;
    }
    return nullptr;
}

const char* KVTP_hash_insert_uniq(KVTP_hash* h, const char* key, int32_t len, int32_t value) {
    return insert(h, key, len, value, true);
}

const char* KVTP_hash_insert_uniq_const(KVTP_hash* h, const char* key, int32_t len, int32_t value) {
    return insert(h, key, len, value, false);
}

int KVTP_hash_remove(KVTP_hash* h, const char* key, int32_t len) {
    if (h == nullptr || key == nullptr || !h->mutable_flag)
        return 0;
    const int32_t n = key_len(key, len);
    KVTP_hashentry** link = &h->buckets[bucket_of(h, hash_bytes(key, n))];
    for (; *link != nullptr; link = &(*link)->next) {
        KVTP_hashentry* e = *link;
        if (same_key(e, key, n)) {
            *link = e->next;
            if (e->owns_key)
                KVTP_free(e->key);
            KVTP_free(e);
            --h->count;
            return 1;
        }
    }
    return 0;
}

uint32_t KVTP_hash_function(const char* key, int32_t len, unsigned char* out, int32_t bits) {
    if (bits < 1)
        return 0;
    if (bits > 32)
        bits = 32;
    uint32_t v = KVTP_hash_value(key, len);
    if (bits < 32)
        v &= (1u << bits) - 1u;
    uint32_t result = 0;
    const int32_t nbytes = (bits + 7) / 8;
    for (int32_t i = 0; i < nbytes; ++i) {
        uint32_t b = (v >> (8 * i)) & 0xFFu;
        if (b == 0)
            b = 1;
        if (out != nullptr)
            out[i] = static_cast<unsigned char>(b);
        result |= b << (8 * i);
    }
    return result;
}

int32_t KVTP_hash_sz(const KVTP_hash* h) {
    return h == nullptr ? 0 : h->count;
}
