// SPDX-License-Identifier: MIT
#include "textproc/toolkit/voidparray.h"

#include <cstring>

#include "textproc/toolkit/array_internal.h"

namespace {

constexpr int32_t kStep = 8;
constexpr int32_t kKeep = 64;

void* get(const KVTP_voidparray* a, int32_t i) {
    void* p = nullptr;
    const void* slot = KVTP_array_idx(a, i);
    if (slot != nullptr)
        std::memcpy(&p, slot, sizeof p);
    return p;
}

}  // namespace

KVTP_voidparray* KVTP_voidparray_newcustom(int32_t reserve, int32_t step, int32_t keep) {
    KVTP_voidparray* a = kvtp_detail::array_make<KVTP_voidparray>(step, keep, sizeof(void*), 0);
    if (a != nullptr && reserve > 0 && !KVTP_array_extend(a, reserve)) {
        KVTP_array_delete(a);
        return nullptr;
    }
    return a;
}

KVTP_voidparray* KVTP_voidparray_new() {
    return KVTP_voidparray_newcustom(0, kStep, kKeep);
}

void KVTP_voidparray_delete(KVTP_voidparray* a) {
    KVTP_array_delete(a);
}

int KVTP_voidparray_add(KVTP_voidparray* a, void* p) {
    return KVTP_array_append(a, &p, 1);
}

void* KVTP_voidparray_idx(const KVTP_voidparray* a, int32_t i) {
    return get(a, i);
}

void* KVTP_voidparray_end(const KVTP_voidparray* a) {
    return a == nullptr ? nullptr : get(a, a->count - 1);
}

int KVTP_voidparray_replace(KVTP_voidparray* a, int32_t i, void* p) {
    void* slot = KVTP_array_idx(a, i);
    if (slot == nullptr)
        return 0;
    std::memcpy(slot, &p, sizeof p);
    return 1;
}

int KVTP_voidparray_insert_item(KVTP_voidparray* a, void* p, int32_t pos) {
    return KVTP_array_insert_range(a, &p, 1, pos);
}

void* KVTP_voidparray_remove_item(KVTP_voidparray* a, int32_t i) {
    void* p = get(a, i);
    if (p != nullptr)
        KVTP_array_delete_range(a, i, 1);
    return p;
}

int KVTP_voidparray_delete_range(KVTP_voidparray* a, int32_t start, int32_t n) {
    return KVTP_array_delete_range(a, start, n);
}

int32_t KVTP_voidparray_sz(const KVTP_voidparray* a) {
    return KVTP_array_sz(a);
}

void KVTP_voidparray_clear(KVTP_voidparray* a) {
    KVTP_array_clear(a);
}

int KVTP_voidparray_extend(KVTP_voidparray* a, int32_t n) {
    return KVTP_array_extend(a, n);
}
