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
//   kPhoneme  one phoneme record: int32 first (the start sample), uint32 N1,
//             uint32 N2, the phoneme's name in a field of N1 bytes, the next
//             phoneme's name in a field of N2 bytes (each field ends in a
//             NUL), int32 values 1 to 7, then six zero bytes. The server
//             sends value 1 = duration in samples, value 2 = sample rate.
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
// The error of a session that its server ends as it stops (past its grace):
// a failure of the server, not a refusal of the request.
constexpr const char* kShuttingDown = "server shutting down";
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

// A phoneme record; the names point into the payload decoded (or, to encode,
// into the caller's strings).
struct Phoneme {
    int32_t first = 0;
    const char* phone = nullptr;
    const char* next_phone = nullptr;
    int32_t values[7] = {0, 0, 0, 0, 0, 0, 0};
};

// Size on the wire of a name's field, its NUL included: strlen + 1, except
// that a name of 3 or more bytes whose second-to-last byte is a digit or a
// space loses its last two bytes (strlen - 1). Null is the empty name.
uint32_t PhonemeFieldSize(const char* name);
std::vector<unsigned char> EncodePhoneme(const Phoneme& phoneme);
// Values 2-7 are read only if all their bytes are inside the payload (else
// 0: a sender may write fewer). False, with nothing read past the payload,
// when the fixed fields, the names or value 1 do not fit, a name field is
// empty, or a name does not end in a NUL inside its field.
bool DecodePhoneme(const unsigned char* data, size_t length, Phoneme* phoneme);

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
