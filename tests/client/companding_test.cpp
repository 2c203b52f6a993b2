// SPDX-License-Identifier: MIT
// The companding functions checked over the whole 16-bit range against an
// independent G.711 formulation: segment found by search, not by table.
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <cstdint>
#include <cstdlib>

namespace {

// Mu-law by the textbook: bias the clipped magnitude, find the segment whose
// range holds it, take the four bits below the segment's leading one.
uint8_t ReferenceUlaw(int sample) {
    const int sign = sample < 0 ? 0x80 : 0;
    int magnitude = std::abs(sample);
    if (magnitude > 32635)
        magnitude = 32635;
    magnitude += 132;
    int segment = 0;
    while (segment < 7 && magnitude >= (256 << segment))
        ++segment;
    const int step = (magnitude >> (segment + 3)) & 0x0F;
    return static_cast<uint8_t>(0xFF ^ (sign | (segment << 4) | step));
}

// A-law by the textbook: segment 0 is linear below 256, then one segment per
// doubling; the sign bit marks non-negative samples; even bits inverted.
uint8_t ReferenceAlaw(int sample) {
    const int sign = sample >= 0 ? 0x80 : 0;
    const int magnitude = std::abs(sample);
    int code;
    if (magnitude > 32635) {
        code = 0x7F;
    } else if (magnitude < 256) {
        code = magnitude >> 4;
    } else {
        int segment = 1;
        while (magnitude >= (256 << segment))
            ++segment;
        code = (segment << 4) | ((magnitude >> (segment + 3)) & 0x0F);
    }
    return static_cast<uint8_t>(sign ^ 0x55 ^ code);
}

TEST(Companding, WholeRangeMatchesReferenceFormulas) {
    for (int sample = INT16_MIN; sample <= INT16_MAX; ++sample) {
        ASSERT_EQ(vrSampleToUlaw(static_cast<int16_t>(sample)), ReferenceUlaw(sample))
            << "mu-law of " << sample;
        ASSERT_EQ(vrSampleToAlaw(static_cast<int16_t>(sample)), ReferenceAlaw(sample))
            << "A-law of " << sample;
    }
}

}  // namespace
