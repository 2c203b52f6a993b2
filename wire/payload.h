// SPDX-License-Identifier: MIT
// The payloads of the server's answer frames, byte for byte (integers
// big-endian):
//
//   kFormat   audio format, 8 bytes: uint32 sample rate in Hz, uint16 bits
//             per sample (16), uint16 channels (1).
//   kAudio    signed 16-bit little-endian mono PCM, an even number of bytes.
//   kMark     a mark was reached: int32 sample offset (from the first sample
//             of the request's audio), then the mark's name as NUL-terminated
//             UTF-8. Word marks are named kvtk_C_B_N_L and the last mark of a
//             request kvox_final (<vrelay/vrelay_helpers.h> reads both).
//   kPhoneme  one phoneme record (PhonemePacketData in packet.h).
//   kMessage  NUL-terminated UTF-8 text; errors begin with "error: ".
//   kQuery    a piece of the reply text, NUL-terminated UTF-8.
//
// Applications decode the format and mark payloads with the static inline C
// functions of <vrelay/vrelay_helpers.h>; DecodeFormat and DecodeMark here
// are those same functions for C++ callers, so that there is one decoder.
#ifndef VRELAY_WIRE_PAYLOAD_H
#define VRELAY_WIRE_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace wire {

constexpr uint32_t kFormatPayloadSize = 8;
constexpr uint16_t kSampleBits = 16;
constexpr uint16_t kChannels = 1;
constexpr const char* kErrorPrefix = "error: ";
// The marks of the client's text: one before each word (kWordMarkPrefix and
// four numbers), kFinalMark at its end. The tokeniser writes them and
// <vrelay/vrelay_helpers.h> reads them; the wire tests hold the three to
// the same names.
constexpr char kWordMarkPrefix[] = "kvtk_";
constexpr char kFinalMark[] = "kvox_final";

struct AudioFormat {
    uint32_t sample_rate = 0;
    uint16_t bits = kSampleBits;
    uint16_t channels = kChannels;
};

struct MarkReached {
    int32_t sample = 0;
    std::string name;
};

std::vector<unsigned char> EncodeFormat(const AudioFormat& format);
// False when the payload is shorter than 8 bytes.
bool DecodeFormat(const unsigned char* data, size_t length, AudioFormat* format);

std::vector<unsigned char> EncodeMark(int32_t sample, const std::string& name);
// False when the payload is shorter than 5 bytes or the name has no NUL.
bool DecodeMark(const unsigned char* data, size_t length, MarkReached* mark);

// Text followed by its NUL, as kMessage and kQuery payloads carry it.
std::vector<unsigned char> EncodeText(const std::string& text);
// The text up to the first NUL (or the whole payload when there is none).
std::string DecodeText(const unsigned char* data, size_t length);

// PCM samples as kAudio carries them (little-endian, whatever the host).
std::vector<unsigned char> EncodeAudio(const int16_t* samples, size_t count);
// An odd last byte is left out.
std::vector<int16_t> DecodeAudio(const unsigned char* data, size_t length);

}  // namespace wire
}  // namespace vrelay

#endif
