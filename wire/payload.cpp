// SPDX-License-Identifier: MIT
#include "wire/payload.h"

#include <vrelay/vrelay_helpers.h>

#include <cctype>
#include <climits>
#include <cstring>

namespace vrelay {
namespace wire {

namespace {

// Writes the lowest bytes of value, big-endian; returns where it stopped.
unsigned char* PutBig(unsigned char* at, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        *at++ = static_cast<unsigned char>(value >> shift);
    }
    return at;
}

uint32_t GetBig(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

// The helpers take the length as the callback gets it; no payload is longer.
int32_t CallbackLength(size_t length) {
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

}  // namespace

std::vector<unsigned char> EncodeFormat(const AudioFormat& format) {
    std::vector<unsigned char> out(kFormatPayloadSize);
    unsigned char* at = PutBig(out.data(), format.sample_rate, 4);
    at = PutBig(at, format.bits, 2);
    PutBig(at, format.channels, 2);
    return out;
}

bool DecodeFormat(const unsigned char* data, size_t length, AudioFormat* format) {
    vr_audio_format decoded;
    if (!vr_decode_audio_format(data, CallbackLength(length), &decoded)) {
        return false;
    }
    format->sample_rate = decoded.sample_rate;
    format->bits = decoded.bits_per_sample;
    format->channels = decoded.channels;
    return true;
}

std::vector<unsigned char> EncodeMark(int32_t sample, const std::string& name) {
    std::vector<unsigned char> out(4 + name.size() + 1);  // the NUL included
    std::memcpy(PutBig(out.data(), static_cast<uint32_t>(sample), 4), name.data(), name.size());
    return out;
}

bool DecodeMark(const unsigned char* data, size_t length, MarkReached* mark) {
    vr_mark_event decoded;
    if (!vr_decode_mark(data, CallbackLength(length), &decoded)) {
        return false;
    }
    mark->sample = decoded.sample_offset;
    mark->name = decoded.name;
    return true;
}

uint32_t PhonemeFieldSize(const char* name) {
    if (name == nullptr) {
        return 1;  // just the NUL
    }
    const size_t n = std::strlen(name);
    if (n + 1 > 3) {
        const unsigned char c = static_cast<unsigned char>(name[n - 2]);
        if (std::isdigit(c) || c == ' ') {
            // Such a name ends in a two-byte suffix that the wire form
            // leaves out.
            return static_cast<uint32_t>(n - 1);
        }
    }
    return static_cast<uint32_t>(n + 1);
}

std::vector<unsigned char> EncodePhoneme(const Phoneme& phoneme) {
    const char* names[2] = {phoneme.phone, phoneme.next_phone};
    const uint32_t sizes[2] = {PhonemeFieldSize(names[0]), PhonemeFieldSize(names[1])};
    // Zero-filled: the fields' NULs and the six bytes at the end stay 0.
    std::vector<unsigned char> out(12 + sizes[0] + sizes[1] + 7 * 4 + 6);
    unsigned char* at = PutBig(out.data(), static_cast<uint32_t>(phoneme.first), 4);
    at = PutBig(at, sizes[0], 4);
    at = PutBig(at, sizes[1], 4);
    for (int i = 0; i < 2; ++i) {
        // The name's bytes that fit its field, then the field's NUL.
        if (names[i] != nullptr) {
            std::memcpy(at, names[i], sizes[i] - 1);
        }
        at += sizes[i];
    }
    for (int32_t value : phoneme.values) {
        at = PutBig(at, static_cast<uint32_t>(value), 4);
    }
    return out;
}

bool DecodePhoneme(const unsigned char* data, size_t length, Phoneme* phoneme) {
    if (data == nullptr || length < 12) {
        return false;
    }
    const uint32_t n1 = GetBig(data + 4);
    const uint32_t n2 = GetBig(data + 8);
    // 64-bit sums: n1 + n2 alone can overflow 32 bits.
    const uint64_t values = 12ull + n1 + n2;
    if (n1 == 0 || n2 == 0 || values + 4 > length) {
        return false;
    }
    // Each name must end in its field, so string reads stay inside it.
    if (data[12 + n1 - 1] != 0 || data[values - 1] != 0) {
        return false;
    }
    phoneme->first = static_cast<int32_t>(GetBig(data));
    phoneme->phone = reinterpret_cast<const char*>(data + 12);
    phoneme->next_phone = reinterpret_cast<const char*>(data + 12 + n1);
    bool present = true;
    for (size_t k = 0; k < 7; ++k) {
        present = present && values + 4 * k + 4 <= length;
        phoneme->values[k] = present ? static_cast<int32_t>(GetBig(data + values + 4 * k)) : 0;
    }
    return true;
}

std::vector<unsigned char> EncodeText(const std::string& text) {
    std::vector<unsigned char> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

std::string DecodeText(const unsigned char* data, size_t length) {
    if (data == nullptr) {
        return std::string();
    }
    const void* nul = std::memchr(data, 0, length);
    const size_t n = nul != nullptr
                         ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - data)
                         : length;
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::vector<unsigned char> EncodeAudio(const int16_t* samples, size_t count) {
    std::vector<unsigned char> out(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(samples[i]);
        out[2 * i] = static_cast<unsigned char>(v & 0xff);
        out[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    return out;
}

std::vector<int16_t> DecodeAudio(const unsigned char* data, size_t length) {
    std::vector<int16_t> out(length / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    }
    return out;
}

}  // namespace wire
}  // namespace vrelay
