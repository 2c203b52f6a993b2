// SPDX-License-Identifier: MIT
#include "wire/payload.h"

#include <vrelay/vrelay_helpers.h>

#include <climits>
#include <cstring>

namespace vrelay {
namespace wire {

namespace {

void PutBig(std::vector<unsigned char>* out, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out->push_back(static_cast<unsigned char>(value >> shift));
    }
}

// The helpers take the length as the callback gets it; no payload is longer.
int32_t CallbackLength(size_t length) {
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

}  // namespace

std::vector<unsigned char> EncodeFormat(const AudioFormat& format) {
    std::vector<unsigned char> out;
    PutBig(&out, format.sample_rate, 4);
    PutBig(&out, format.bits, 2);
    PutBig(&out, format.channels, 2);
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
    std::vector<unsigned char> out;
    PutBig(&out, static_cast<uint32_t>(sample), 4);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
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
