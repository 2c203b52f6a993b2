// SPDX-License-Identifier: MIT
// 16-bit linear PCM to 8-bit G.711 codes: eight segments of sixteen steps, the
// sign in bit 7. Both clip magnitudes at 32635.
//
// The conversion is computed once per possible sample, at compile time, into
// a read-only table of 65536 codes per law; each call is one lookup. That is
// faster than the shifts and segment search per sample, and only the pages
// of the table that an application's audio touches become resident.
#include <vrelay/vrelay.h>

#include <array>
#include <cstdint>

namespace {

constexpr int32_t kClip = 32635;
constexpr int32_t kUlawBias = 0x84;

constexpr int HighestBit(int value) {
    int position = 0;
    while (value > 1) {
        value >>= 1;
        ++position;
    }
    return position;
}

// mu-law: bias the clipped magnitude; the segment is the highest bit of
// magnitude >> 7, the step the four bits below the segment's leading one.
constexpr uint8_t UlawCode(int32_t sample) {
    const int32_t sign = sample < 0 ? 0x80 : 0;
    int32_t magnitude = sample < 0 ? -sample : sample;
    if (magnitude > kClip) {
        magnitude = kClip;
    }
    magnitude += kUlawBias;
    const int32_t exponent = HighestBit((magnitude >> 7) & 0xFF);
    const int32_t mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

// A-law: segment 0 is linear below 256, then one segment per doubling; the
// sign bit marks non-negative samples; the even bits are inverted.
constexpr uint8_t AlawCode(int32_t sample) {
    const int32_t sign = sample >= 0 ? 0x80 : 0;
    const int32_t magnitude = sample >= 0 ? sample : -sample;
    int32_t code = 0;
    if (magnitude > kClip) {
        code = 0x7F;
    } else if (magnitude > 255) {
        const int32_t index = magnitude >> 8;
        const int32_t segment = index < 2 ? 1 : 1 + HighestBit(index);
        code = (segment << 4) | ((magnitude >> (segment + 3)) & 0x0F);
    } else {
        code = magnitude >> 4;
    }
    return static_cast<uint8_t>((sign ^ 0x55) ^ code);
}

// Indexed by the sample's 16 bits read as unsigned.
using CodeTable = std::array<uint8_t, 65536>;

template <uint8_t (*Code)(int32_t)>
constexpr CodeTable MakeTable() {
    CodeTable table{};
    for (int32_t sample = INT16_MIN; sample <= INT16_MAX; ++sample) {
        table[static_cast<uint16_t>(sample)] = Code(sample);
    }
    return table;
}

constexpr CodeTable kUlaw = MakeTable<UlawCode>();
constexpr CodeTable kAlaw = MakeTable<AlawCode>();

}  // namespace

extern "C" {

VR_API uint8_t VR_CDECL vrSampleToUlaw(int16_t sample) {
    return kUlaw[static_cast<uint16_t>(sample)];
}

VR_API uint8_t VR_CDECL vrSampleToAlaw(int16_t sample) {
    return kAlaw[static_cast<uint16_t>(sample)];
}

}  // extern "C"
