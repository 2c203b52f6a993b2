// 16-bit linear PCM to 8-bit G.711 codes: eight segments of sixteen steps, the
// sign in bit 7. Both clip magnitudes at 32635.
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

// Segment of a biased mu-law magnitude, indexed by magnitude >> 7.
constexpr std::array<uint8_t, 256> MakeUlawExponents() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = static_cast<uint8_t>(HighestBit(i));
    }
    return table;
}

// Segment of an A-law magnitude above 255, indexed by magnitude >> 8.
constexpr std::array<uint8_t, 128> MakeAlawSegments() {
    std::array<uint8_t, 128> table{};
    for (int i = 0; i < 128; ++i) {
        table[i] = static_cast<uint8_t>(i < 2 ? 1 : 1 + HighestBit(i));
    }
    return table;
}

constexpr std::array<uint8_t, 256> kUlawExponent = MakeUlawExponents();
constexpr std::array<uint8_t, 128> kAlawSegment = MakeAlawSegments();

}  // namespace

extern "C" {

VR_API uint8_t VR_CDECL vrSampleToUlaw(int16_t sample) {
    const int32_t sign = sample < 0 ? 0x80 : 0;
    int32_t magnitude = sample < 0 ? -static_cast<int32_t>(sample) : sample;
    if (magnitude > kClip) {
        magnitude = kClip;
    }
    magnitude += kUlawBias;
    const int32_t exponent = kUlawExponent[(magnitude >> 7) & 0xFF];
    const int32_t mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

VR_API uint8_t VR_CDECL vrSampleToAlaw(int16_t sample) {
    const int32_t sign = sample >= 0 ? 0x80 : 0;
    const int32_t magnitude = sample >= 0 ? sample : -static_cast<int32_t>(sample);
    int32_t code;
    if (magnitude > kClip) {
        code = 0x7F;
    } else if (magnitude > 255) {
        const int32_t segment = kAlawSegment[magnitude >> 8];
        code = (segment << 4) | ((magnitude >> (segment + 3)) & 0x0F);
    } else {
        code = magnitude >> 4;
    }
    return static_cast<uint8_t>((sign ^ 0x55) ^ code);
}

}  // extern "C"
