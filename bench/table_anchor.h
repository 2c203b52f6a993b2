// SPDX-License-Identifier: MIT
// The companding benchmarks' anchor: a 65536-entry table looked up by a
// function of its own shared library, so that each call crosses a library
// boundary as a call of the exported companding functions does (on some
// processors such a call costs a nanosecond more than one within a program).
#ifndef VRELAY_BENCH_TABLE_ANCHOR_H
#define VRELAY_BENCH_TABLE_ANCHOR_H

#include <cstdint>

#define ANCHOR_API __attribute__((visibility("default")))

extern "C" {

// Fills both tables with the codes of the given converters; call once first.
ANCHOR_API void AnchorFillTables(uint8_t (*ulaw)(int16_t), uint8_t (*alaw)(int16_t));
ANCHOR_API uint8_t AnchorTableUlaw(int16_t sample);
ANCHOR_API uint8_t AnchorTableAlaw(int16_t sample);
}

#endif
