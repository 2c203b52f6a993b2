// SPDX-License-Identifier: MIT
#include "textproc/toolkit/strarray.h"

#include <climits>
#include <cstring>

#include "textproc/toolkit/array_internal.h"
#include "textproc/toolkit/store.h"
#include "textproc/toolkit/string_ops.h"

namespace {

constexpr int32_t kStep = 1;
constexpr int32_t kKeep = 256;

char* get(const KVTP_strarray* a, int32_t i) {
    char* p = nullptr;
    const void* slot = KVTP_array_idx(a, i);
    if (slot != nullptr)
        std::memcpy(&p, slot, sizeof p);
    return p;
}

void set(KVTP_strarray* a, int32_t i, char* p) {
    std::memcpy(a->data + static_cast<size_t>(i) * sizeof p, &p, sizeof p);
}

// Appends owned copies of every piece that for_each(sink) reports, as
// sink(start, length): all of them, or none on failure.
template <typename ForEach>
int append_all(KVTP_strarray* a, ForEach for_each) {
    if (a == nullptr)
        return 0;
    int64_t k = 0;
    for_each([&k](const char*, int32_t) { ++k; });
    if (k == 0)
        return 1;
    if (a->count + k > INT32_MAX)
        return 0;
    char** copies = static_cast<char**>(KVTP_calloc(sizeof(char*), static_cast<size_t>(k)));
    if (copies == nullptr)
        return 0;
    bool ok = true;
    int64_t i = 0;
    for_each([&](const char* s, int32_t n) {
        if (!ok)
            return;
        copies[i] = KVTP_strndup(s == nullptr ? "" : s, n);
        ok = copies[i++] != nullptr;
    });
    char* old = nullptr;
    if (ok)
        ok = kvtp_detail::array_reserve(a, a->count + k, &old);
    if (ok) {
        KVTP_memcpy(a->data + static_cast<size_t>(a->count) * sizeof(char*), copies,
                    static_cast<size_t>(k) * sizeof(char*));
        a->count += static_cast<int32_t>(k);
        KVTP_free(old);
    } else {
        for (int64_t j = 0; j < k; ++j)
            KVTP_free(copies[j]);
    }
    KVTP_free(copies);
    return ok ? 1 : 0;
}

// Calls sink for each piece of text[0, total) between separators; `sep_at`
// returns the separator length at an offset (0 when none starts there).
template <typename SepAt, typename Sink>
void for_each_piece(const char* text, int32_t total, SepAt sep_at, Sink&& sink) {
    int32_t start = 0;
    for (int32_t i = 0; i < total;) {
        const int32_t sl = sep_at(i);
        if (sl > 0) {
            sink(text + start, i - start);
            i += sl;
            start = i;
        } else {
            ++i;
        }
    }
    sink(text + start, total - start);
}

KVTP_strarray* new_over_block(const char* block, int32_t n) {
    if (n < 0 || (block == nullptr && n > 0))
        return nullptr;
    KVTP_strarray* a = kvtp_detail::array_make<KVTP_strarray>(kStep, kKeep, sizeof(char*), 0);
    if (a == nullptr)
        return nullptr;
    if (!KVTP_array_extend(a, n)) {
        KVTP_array_delete(a);
        return nullptr;
    }
    const char* p = block;
    for (int32_t i = 0; i < n; ++i) {
        set(a, i, const_cast<char*>(p));
        p += std::strlen(p) + 1;
    }
    a->count = n;
    return a;
}

}  // namespace

KVTP_strarray* KVTP_strarray_new_custom(int32_t step, int32_t keep) {
    return kvtp_detail::array_make<KVTP_strarray>(step, keep, sizeof(char*), 1);
}

KVTP_strarray* KVTP_strarray_new() {
    return KVTP_strarray_new_custom(kStep, kKeep);
}

KVTP_strarray* KVTP_strarray_new_const(const char* block, int32_t n) {
    return new_over_block(block, n);
}

KVTP_strarray* KVTP_strcarray_new_const(const char* block, int32_t n) {
    return new_over_block(block, n);
}

void KVTP_strarray_delete(KVTP_strarray* a) {
    KVTP_array_delete(a);
}

int KVTP_strarray_add(KVTP_strarray* a, const char* text, int32_t len) {
    return append_all(a, [&](auto sink) { sink(text, KVTP_strnlen(text, len)); });
}

int KVTP_strarray_add_nocopy(KVTP_strarray* a, char* s) {
    return KVTP_array_append(a, &s, 1);
}

char* KVTP_strarray_idx(const KVTP_strarray* a, int32_t i) {
    return get(a, i);
}

int KVTP_strarray_replace(KVTP_strarray* a, int32_t i, const char* text, int32_t len) {
    if (a == nullptr || i < 0 || i >= a->count)
        return 0;
    char* copy = KVTP_strndup(text == nullptr ? "" : text, len);
    if (copy == nullptr)
        return 0;
    if (a->owns_elements)
        KVTP_free(get(a, i));
    set(a, i, copy);
    return 1;
}

int KVTP_strarray_insert_item(KVTP_strarray* a, const char* text, int32_t len, int32_t pos) {
    if (a == nullptr)
        return 0;
    char* copy = KVTP_strndup(text == nullptr ? "" : text, len);
    if (copy == nullptr)
        return 0;
    if (!KVTP_array_insert_range(a, &copy, 1, pos)) {
        KVTP_free(copy);
        return 0;
    }
    return 1;
}

int KVTP_strarray_remove_item(KVTP_strarray* a, int32_t i) {
    if (a == nullptr || i < 0 || i >= a->count)
        return 0;
    return KVTP_array_delete_range(a, i, 1);
}

int32_t KVTP_strarray_sz(const KVTP_strarray* a) {
    return KVTP_array_sz(a);
}

void KVTP_strarray_clear(KVTP_strarray* a) {
    KVTP_array_clear(a);
}

int KVTP_strarray_split(KVTP_strarray* a, const char* text, int32_t len, const char* delim) {
    const int32_t total = KVTP_strnlen(text, len);
    const int32_t dl = KVTP_strnlen(delim, -1);
    auto sep_at = [&](int32_t i) {
        return (dl > 0 && i + dl <= total && std::memcmp(text + i, delim, dl) == 0) ? dl : 0;
    };
    return append_all(a, [&](auto sink) { for_each_piece(text, total, sep_at, sink); });
}

int KVTP_strarray_split_chars(KVTP_strarray* a, const char* text, int32_t len, const char* chars) {
    const int32_t total = KVTP_strnlen(text, len);
    auto sep_at = [&](int32_t i) {
        return (chars != nullptr && KVTP_strnchr(chars, -1, text[i]) != nullptr) ? 1 : 0;
    };
    return append_all(a, [&](auto sink) { for_each_piece(text, total, sep_at, sink); });
}

int KVTP_strarray_split_ws(KVTP_strarray* a, const char* text, int32_t len) {
    const int32_t total = KVTP_strnlen(text, len);
    return append_all(a, [&](auto sink) {
        int32_t flen = 0;
        const char* f = KVTP_strfield(text, total, 0, &flen);
        while (f != nullptr) {
            sink(f, flen);
            f = KVTP_strfield_next(f, total - static_cast<int32_t>(f - text), &flen);
        }
    });
}

char* KVTP_strarray_join(const KVTP_strarray* a, const char* delim) {
    if (a == nullptr)
        return nullptr;
    const size_t dl = delim == nullptr ? 0 : std::strlen(delim);
    size_t total = 0;
    for (int32_t i = 0; i < a->count; ++i) {
        const char* s = get(a, i);
        total += (s == nullptr ? 0 : std::strlen(s)) + (i > 0 ? dl : 0);
    }
    char* out = static_cast<char*>(KVTP_malloc(total + 1));
    if (out == nullptr)
        return nullptr;
    size_t pos = 0;
    for (int32_t i = 0; i < a->count; ++i) {
        if (i > 0) {
            KVTP_memcpy(out + pos, delim, dl);
            pos += dl;
        }
        const char* s = get(a, i);
        const size_t n = s == nullptr ? 0 : std::strlen(s);
        KVTP_memcpy(out + pos, s, n);
        pos += n;
    }
    out[pos] = '\0';
    return out;
}

int KVTP_strarray_write(const KVTP_strarray* a, FILE* f) {
    if (a == nullptr || f == nullptr)
        return 0;
    kvtp_detail::StoreWriter w(f);
    w.header("KVSA");
    w.u32(static_cast<uint32_t>(a->count));
    for (int32_t i = 0; i < a->count; ++i)
        w.string(get(a, i), -1);
    return w.ok() ? 1 : 0;
}

KVTP_strarray* KVTP_strarray_read(FILE* f) {
    kvtp_detail::StoreReader r(f);
    int32_t n = 0;
    if (!r.header("KVSA") || !r.count(&n, 4))
        return nullptr;
    KVTP_strarray* a = KVTP_strarray_new();
    if (a == nullptr || !kvtp_detail::read_strings(r, n, [a](const char* s, int32_t len) {
            return KVTP_strarray_add(a, s, len) == 1;
        })) {
        KVTP_strarray_delete(a);
        return nullptr;
    }
    return a;
}

// ---------------------------------------------------------------------------
// str2str

namespace {

// True when the stored key is exactly the n bytes of key (n has no NUL).
bool key_equals(const char* stored, const char* key, int32_t n) {
    if (stored == nullptr)
        return false;
    int32_t i = 0;
    for (; i < n; ++i) {
        if (stored[i] != key[i] || stored[i] == '\0')
            return false;
    }
    return stored[i] == '\0';
}

// Index of the key of the last pair with this key, or -1.
int32_t find_pair(const KVTP_str2str* t, const char* key, int32_t klen) {
    if (t == nullptr || key == nullptr)
        return -1;
    const int32_t n = KVTP_strnlen(key, klen);
    for (int32_t i = (t->count / 2 - 1) * 2; i >= 0; i -= 2) {
        if (key_equals(get(t, i), key, n))
            return i;
    }
    return -1;
}

}  // namespace

KVTP_str2str* KVTP_str2str_new(int32_t reserve) {
    KVTP_str2str* t = kvtp_detail::array_make<KVTP_str2str>(kStep, kKeep, sizeof(char*), 1);
    if (t != nullptr && reserve > 0) {
        const int64_t slots = static_cast<int64_t>(reserve) * 2;
        if (slots > INT32_MAX || !KVTP_array_extend(t, static_cast<int32_t>(slots))) {
            KVTP_array_delete(t);
            return nullptr;
        }
    }
    return t;
}

void KVTP_str2str_delete(KVTP_str2str* t) {
    KVTP_array_delete(t);
}

int KVTP_str2str_add(KVTP_str2str* t, const char* key, int32_t klen, const char* val,
                     int32_t vlen) {
    return append_all(t, [&](auto sink) {
        sink(key, KVTP_strnlen(key, klen));
        sink(val, KVTP_strnlen(val, vlen));
    });
}

char* KVTP_str2str_lookup(const KVTP_str2str* t, const char* key, int32_t klen) {
    const int32_t i = find_pair(t, key, klen);
    return i < 0 ? nullptr : get(t, i + 1);
}

int KVTP_str2str_replace_val(KVTP_str2str* t, const char* key, int32_t klen, const char* val,
                             int32_t vlen) {
    const int32_t i = find_pair(t, key, klen);
    return i < 0 ? 0 : KVTP_strarray_replace(t, i + 1, val, vlen);
}

char* KVTP_str2str_key(const KVTP_str2str* t, int32_t i) {
    return (i < 0 || i >= KVTP_str2str_nrkeys(t)) ? nullptr : get(t, 2 * i);
}

char* KVTP_str2str_val(const KVTP_str2str* t, int32_t i) {
    return (i < 0 || i >= KVTP_str2str_nrkeys(t)) ? nullptr : get(t, 2 * i + 1);
}

int32_t KVTP_str2str_nrkeys(const KVTP_str2str* t) {
    return t == nullptr ? 0 : t->count / 2;
}

void KVTP_str2str_clear(KVTP_str2str* t) {
    KVTP_array_clear(t);
}
