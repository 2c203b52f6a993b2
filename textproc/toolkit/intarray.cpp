// SPDX-License-Identifier: MIT
#include "textproc/toolkit/intarray.h"

#include "textproc/toolkit/array_internal.h"

namespace {

constexpr int32_t kStep = 8;
constexpr int32_t kKeep = 64;

template <typename A, typename V>
V* element(const A* a, int32_t i) {
    return static_cast<V*>(KVTP_array_idx(a, i));
}

}  // namespace

KVTP_intarray* KVTP_intarray_new() {
    return KVTP_intarray_new_sz(kKeep);
}
KVTP_intarray* KVTP_intarray_new_sz(int32_t keep) {
    return kvtp_detail::array_make<KVTP_intarray>(kStep, keep, sizeof(int32_t), 0);
}
void KVTP_intarray_delete(KVTP_intarray* a) {
    KVTP_array_delete(a);
}
int KVTP_intarray_add(KVTP_intarray* a, int32_t v) {
    return KVTP_array_append(a, &v, 1);
}
int32_t* KVTP_intarray_idx(const KVTP_intarray* a, int32_t i) {
    return element<KVTP_intarray, int32_t>(a, i);
}
int KVTP_intarray_replace(KVTP_intarray* a, int32_t i, int32_t v) {
    int32_t* p = KVTP_intarray_idx(a, i);
    if (p == nullptr)
        return 0;
    *p = v;
    return 1;
}
int32_t KVTP_intarray_sz(const KVTP_intarray* a) {
    return KVTP_array_sz(a);
}
void KVTP_intarray_clear(KVTP_intarray* a) {
    KVTP_array_clear(a);
}

KVTP_floatarray* KVTP_floatarray_new() {
    return kvtp_detail::array_make<KVTP_floatarray>(kStep, kKeep, sizeof(float), 0);
}
void KVTP_floatarray_delete(KVTP_floatarray* a) {
    KVTP_array_delete(a);
}
int KVTP_floatarray_add(KVTP_floatarray* a, float v) {
    return KVTP_array_append(a, &v, 1);
}
float* KVTP_floatarray_idx(const KVTP_floatarray* a, int32_t i) {
    return element<KVTP_floatarray, float>(a, i);
}
int32_t KVTP_floatarray_sz(const KVTP_floatarray* a) {
    return KVTP_array_sz(a);
}
void KVTP_floatarray_clear(KVTP_floatarray* a) {
    KVTP_array_clear(a);
}

KVTP_doublearray* KVTP_doublearray_new() {
    return kvtp_detail::array_make<KVTP_doublearray>(kStep, kKeep, sizeof(double), 0);
}
void KVTP_doublearray_delete(KVTP_doublearray* a) {
    KVTP_array_delete(a);
}
int KVTP_doublearray_add(KVTP_doublearray* a, double v) {
    return KVTP_array_append(a, &v, 1);
}
double* KVTP_doublearray_idx(const KVTP_doublearray* a, int32_t i) {
    return element<KVTP_doublearray, double>(a, i);
}
int32_t KVTP_doublearray_sz(const KVTP_doublearray* a) {
    return KVTP_array_sz(a);
}
void KVTP_doublearray_clear(KVTP_doublearray* a) {
    KVTP_array_clear(a);
}

KVTP_complexdoublearray* KVTP_complexdoublearray_new() {
    return kvtp_detail::array_make<KVTP_complexdoublearray>(kStep, kKeep,
                                                            sizeof(KVTP_complexdouble), 0);
}
void KVTP_complexdoublearray_delete(KVTP_complexdoublearray* a) {
    KVTP_array_delete(a);
}
int KVTP_complexdoublearray_add(KVTP_complexdoublearray* a, double re, double im) {
    const KVTP_complexdouble v{re, im};
    return KVTP_array_append(a, &v, 1);
}
KVTP_complexdouble* KVTP_complexdoublearray_idx(const KVTP_complexdoublearray* a, int32_t i) {
    return element<KVTP_complexdoublearray, KVTP_complexdouble>(a, i);
}
int32_t KVTP_complexdoublearray_sz(const KVTP_complexdoublearray* a) {
    return KVTP_array_sz(a);
}
void KVTP_complexdoublearray_clear(KVTP_complexdoublearray* a) {
    KVTP_array_clear(a);
}
