// SPDX-License-Identifier: MIT
#include "textproc/toolkit/hashstrarray.h"

#include <climits>
#include <cstring>

#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/array_internal.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

void append_pointer(KVTP_array* a, void* p) {
    std::memcpy(a->data + static_cast<size_t>(a->count) * sizeof p, &p, sizeof p);
    ++a->count;
}

}  // namespace

KVTP_hashstrarray* KVTP_hashstrarray_new(int32_t size) {
    auto* h = static_cast<KVTP_hashstrarray*>(KVTP_malloc(sizeof(KVTP_hashstrarray)));
    if (h == nullptr)
        return nullptr;
    h->dict = KVTP_dict_new_empty(size);
    h->strings = KVTP_strarray_new();
    if (h->dict == nullptr || h->strings == nullptr) {
        KVTP_hashstrarray_delete(h);
        return nullptr;
    }
    return h;
}

void KVTP_hashstrarray_delete(KVTP_hashstrarray* h) {
    if (h == nullptr)
        return;
    KVTP_dict_delete(h->dict);
    KVTP_strarray_delete(h->strings);
    KVTP_free(h);
}

int KVTP_hashstrarray_add(KVTP_hashstrarray* h, const char* word, int32_t wlen, const char* str,
                          int32_t slen) {
    if (h == nullptr || word == nullptr)
        return -1;
    KVTP_dict* d = h->dict;
    const int32_t existing = KVTP_dict_lookup_word(d, word, wlen);
    if (existing > 0) {
        return KVTP_strarray_replace(h->strings, existing - 1, str, slen) ? 0 : -1;
    }
    // A new word touches the hash, the dictionary's index and the strings:
    // allocate everything first, then commit, so a failure changes nothing.
    const int32_t number = KVTP_voidparray_sz(d->index) + 1;
    if (number == INT32_MAX)
        return -1;
    char* copy = KVTP_strndup(str == nullptr ? "" : str, slen);
    if (copy == nullptr)
        return -1;
    kvtp_detail::ArrayGrowth grow_strings, grow_index;
    const char* key = nullptr;
    if (!kvtp_detail::array_plan(h->strings, int64_t{h->strings->count} + 1, &grow_strings) ||
        !kvtp_detail::array_plan(d->index, int64_t{d->index->count} + 1, &grow_index) ||
        (key = KVTP_hash_insert_uniq(d->hash, word, wlen, number)) == nullptr) {
        kvtp_detail::array_abandon(&grow_strings);
        kvtp_detail::array_abandon(&grow_index);
        KVTP_free(copy);
        return -1;
    }
    kvtp_detail::array_commit(d->index, &grow_index);
    append_pointer(d->index, const_cast<char*>(key));
    kvtp_detail::array_commit(h->strings, &grow_strings);
    append_pointer(h->strings, copy);
    return 1;
}

const char* KVTP_hashstrarray_lookup(const KVTP_hashstrarray* h, const char* word, int32_t wlen) {
    if (h == nullptr)
        return nullptr;
    const int32_t n = KVTP_dict_lookup_word(h->dict, word, wlen);
    return n > 0 ? KVTP_strarray_idx(h->strings, n - 1) : nullptr;
}

int32_t KVTP_hashstrarray_sz(const KVTP_hashstrarray* h) {
    return h == nullptr ? 0 : KVTP_dict_size(h->dict);
}
