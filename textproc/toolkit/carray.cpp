// SPDX-License-Identifier: MIT
#include "textproc/toolkit/carray.h"

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/store.h"

namespace {

constexpr unsigned char kSignedBit = 0x10;

// Width code (0, 1, 2) of 1, 2 and 4 bytes, and back.
int width_code(int32_t width) {
    return width == 1 ? 0 : width == 2 ? 1 : 2;
}
int32_t code_width(int code) {
    return code == 0 ? 1 : code == 1 ? 2 : code == 2 ? 4 : 0;
}

// Narrowest width whose range holds lo..hi.
int32_t width_for(int64_t lo, int64_t hi, bool is_signed) {
    if (is_signed)
        return lo >= INT8_MIN && hi <= INT8_MAX ? 1 : lo >= INT16_MIN && hi <= INT16_MAX ? 2 : 4;
    return hi <= UINT8_MAX ? 1 : hi <= UINT16_MAX ? 2 : 4;
}

void put(unsigned char* p, int32_t width, uint32_t v) {
    for (int32_t b = 0; b < width; ++b)
        p[b] = static_cast<unsigned char>(v >> (8 * b));
}

uint32_t get(const unsigned char* p, int32_t width) {
    uint32_t v = 0;
    for (int32_t b = 0; b < width; ++b)
        v |= uint32_t{p[b]} << (8 * b);
    return v;
}

int32_t count_width(int32_t count) {
    return width_for(0, count, false);
}

KVTP_carray* make(int32_t width, bool is_signed, int32_t n) {
    auto* a = static_cast<KVTP_carray*>(KVTP_malloc(sizeof(KVTP_carray)));
    if (a == nullptr)
        return nullptr;
    a->data = static_cast<unsigned char*>(
        KVTP_calloc(static_cast<size_t>(width), static_cast<size_t>(n)));
    if (a->data == nullptr) {
        KVTP_free(a);
        return nullptr;
    }
    a->element_size = width;
    a->is_signed = is_signed ? 1 : 0;
    a->count = n;
    return a;
}

}  // namespace

KVTP_carray* KVTP_carray_new(const int32_t* values, int32_t n) {
    if (n < 0 || (values == nullptr && n > 0))
        return nullptr;
    int64_t lo = 0, hi = 0;
    for (int32_t i = 0; i < n; ++i) {
        lo = values[i] < lo ? values[i] : lo;
        hi = values[i] > hi ? values[i] : hi;
    }
    const bool is_signed = lo < 0;
    const int32_t width = width_for(lo, hi, is_signed);
    KVTP_carray* a = make(width, is_signed, n);
    for (int32_t i = 0; a != nullptr && i < n; ++i)
        put(a->data + static_cast<size_t>(i) * width, width, static_cast<uint32_t>(values[i]));
    return a;
}

void KVTP_carray_delete(KVTP_carray* a) {
    if (a == nullptr)
        return;
    KVTP_free(a->data);
    KVTP_free(a);
}

int64_t KVTP_carray_idx(const KVTP_carray* a, int32_t i) {
    if (a == nullptr || i < 0 || i >= a->count)
        return 0;
    const int32_t w = a->element_size;
    const uint32_t v = get(a->data + static_cast<size_t>(i) * w, w);
    if (!a->is_signed)
        return v;
    const uint32_t sign = uint32_t{1} << (8 * w - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);  // sign-extend
}

int32_t KVTP_carray_sz(const KVTP_carray* a) {
    return a == nullptr ? 0 : a->count;
}

int64_t KVTP_carray_packed_sz(const KVTP_carray* a) {
    if (a == nullptr)
        return 0;
    return 1 + count_width(a->count) + int64_t{a->count} * a->element_size;
}

int64_t KVTP_carray_pack(const KVTP_carray* a, unsigned char* out, int64_t size) {
    const int64_t need = KVTP_carray_packed_sz(a);
    if (a == nullptr || out == nullptr || size < need)
        return 0;
    const int32_t cw = count_width(a->count);
    out[0] = static_cast<unsigned char>(width_code(a->element_size) | width_code(cw) << 2 |
                                        (a->is_signed ? kSignedBit : 0));
    put(out + 1, cw, static_cast<uint32_t>(a->count));
    KVTP_memcpy(out + 1 + cw, a->data, static_cast<size_t>(need - 1 - cw));
    return need;
}

KVTP_carray* KVTP_carray_unpack(const unsigned char* in, int64_t size, int64_t* used) {
    if (in == nullptr || size < 1 || (in[0] & 0xE0) != 0)
        return nullptr;
    const int32_t width = code_width(in[0] & 3);
    const int32_t cw = code_width(in[0] >> 2 & 3);
    if (width == 0 || cw == 0 || size < 1 + cw)
        return nullptr;
    const uint32_t count = get(in + 1, cw);
    const int64_t need = 1 + cw + int64_t{count} * width;
    if (count > INT32_MAX || need > size)
        return nullptr;
    KVTP_carray* a = make(width, (in[0] & kSignedBit) != 0, static_cast<int32_t>(count));
    if (a == nullptr)
        return nullptr;
    KVTP_memcpy(a->data, in + 1 + cw, static_cast<size_t>(need - 1 - cw));
    if (used != nullptr)
        *used = need;
    return a;
}

int KVTP_carray_write(const KVTP_carray* a, FILE* f) {
    if (a == nullptr || f == nullptr)
        return 0;
    const int64_t n = KVTP_carray_packed_sz(a);
    if (n > INT32_MAX)  // beyond what a record's u32 length may claim
        return 0;
    auto* packed = static_cast<unsigned char*>(KVTP_malloc(static_cast<size_t>(n)));
    if (packed == nullptr)
        return 0;
    KVTP_carray_pack(a, packed, n);
    kvtp_detail::StoreWriter w(f);
    w.header("KVCA");
    w.u32(static_cast<uint32_t>(n));
    w.bytes(packed, n);
    KVTP_free(packed);
    return w.ok() ? 1 : 0;
}

KVTP_carray* KVTP_carray_read(FILE* f) {
    kvtp_detail::StoreReader r(f);
    int32_t n = 0;
    if (!r.header("KVCA") || !r.count(&n, 1))
        return nullptr;
    auto* packed = static_cast<unsigned char*>(KVTP_malloc(static_cast<size_t>(n)));
    KVTP_carray* a = nullptr;
    int64_t used = 0;
    if (packed != nullptr && r.bytes(packed, n)) {
        a = KVTP_carray_unpack(packed, n, &used);
        if (a != nullptr && used != n) {  // the record holds exactly one packed form
            KVTP_carray_delete(a);
            a = nullptr;
        }
    }
    KVTP_free(packed);
    return a;
}
