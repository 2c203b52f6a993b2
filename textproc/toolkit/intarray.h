// SPDX-License-Identifier: MIT
// Arrays of numbers: int32, float, double and complex double.
#ifndef VRELAY_TEXTPROC_INTARRAY_H
#define VRELAY_TEXTPROC_INTARRAY_H

#include <cstdint>

#include "textproc/toolkit/array.h"

struct KVTP_complexdouble {
    double re;
    double im;
};

struct KVTP_intarray : KVTP_array {};
struct KVTP_floatarray : KVTP_array {};
struct KVTP_doublearray : KVTP_array {};
struct KVTP_complexdoublearray : KVTP_array {};

// Growth step 8, keep limit 64.
KVTP_intarray* KVTP_intarray_new();
KVTP_intarray* KVTP_intarray_new_sz(int32_t keep);
void KVTP_intarray_delete(KVTP_intarray* a);
int KVTP_intarray_add(KVTP_intarray* a, int32_t v);
// Element i, or null outside the array.
int32_t* KVTP_intarray_idx(const KVTP_intarray* a, int32_t i);
int KVTP_intarray_replace(KVTP_intarray* a, int32_t i, int32_t v);
int32_t KVTP_intarray_sz(const KVTP_intarray* a);
void KVTP_intarray_clear(KVTP_intarray* a);

KVTP_floatarray* KVTP_floatarray_new();
void KVTP_floatarray_delete(KVTP_floatarray* a);
int KVTP_floatarray_add(KVTP_floatarray* a, float v);
float* KVTP_floatarray_idx(const KVTP_floatarray* a, int32_t i);
int32_t KVTP_floatarray_sz(const KVTP_floatarray* a);
void KVTP_floatarray_clear(KVTP_floatarray* a);

KVTP_doublearray* KVTP_doublearray_new();
void KVTP_doublearray_delete(KVTP_doublearray* a);
int KVTP_doublearray_add(KVTP_doublearray* a, double v);
double* KVTP_doublearray_idx(const KVTP_doublearray* a, int32_t i);
int32_t KVTP_doublearray_sz(const KVTP_doublearray* a);
void KVTP_doublearray_clear(KVTP_doublearray* a);

KVTP_complexdoublearray* KVTP_complexdoublearray_new();
void KVTP_complexdoublearray_delete(KVTP_complexdoublearray* a);
int KVTP_complexdoublearray_add(KVTP_complexdoublearray* a, double re, double im);
KVTP_complexdouble* KVTP_complexdoublearray_idx(const KVTP_complexdoublearray* a, int32_t i);
int32_t KVTP_complexdoublearray_sz(const KVTP_complexdoublearray* a);
void KVTP_complexdoublearray_clear(KVTP_complexdoublearray* a);

#endif  // VRELAY_TEXTPROC_INTARRAY_H
