#include "textproc/toolkit/dict.h"

#include <climits>

#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

constexpr int32_t kDefaultSize = 100;
constexpr int32_t kIndexStep = 100;

int32_t scaled(const KVTP_dict* d, int32_t number) {
    if (d->multiplier == 0)
        return number;
    const int64_t v = static_cast<int64_t>(number) * d->multiplier;
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
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
        return scaled(d, e->value);
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
    return scaled(d, number);
}

int32_t KVTP_dict_lookup_word(const KVTP_dict* d, const char* word, int32_t len) {
    if (d == nullptr)
        return 0;
    const KVTP_hashentry* e = KVTP_hash_match(d->hash, word, len);
    return e == nullptr ? 0 : scaled(d, e->value);
}

const char* KVTP_dict_lookup_index(const KVTP_dict* d, int32_t n) {
    if (d == nullptr)
        return KVTP_empty_string;
    if (d->multiplier != 0) {
        if (n % d->multiplier != 0)
            return KVTP_empty_string;
        n /= d->multiplier;
    }
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
        std::fprintf(f, "%d %s\n", scaled(d, i + 1),
                     static_cast<const char*>(KVTP_voidparray_idx(d->index, i)));
    }
}
