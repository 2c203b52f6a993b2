// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vrelay {
namespace server {

namespace {

void PutBig(std::vector<unsigned char>* out, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out->push_back(static_cast<unsigned char>(value >> shift));
    }
}

uint32_t GetBig(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | at[i];
    }
    return value;
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
    if (data == nullptr || length < kFormatPayloadSize) {
        return false;
    }
    format->sample_rate = GetBig(data, 4);
    format->bits = static_cast<uint16_t>(GetBig(data + 4, 2));
    format->channels = static_cast<uint16_t>(GetBig(data + 6, 2));
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
    if (data == nullptr || length < 5 || std::memchr(data + 4, 0, length - 4) == nullptr) {
        return false;
    }
    mark->sample = static_cast<int32_t>(GetBig(data, 4));
    mark->name = reinterpret_cast<const char*>(data + 4);
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
    size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - data)
                              : length;
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::string Printable(const std::string& text, size_t max_bytes) {
    std::string out;
    size_t n = std::min(text.size(), max_bytes);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;  // not inside a UTF-8 sequence
    }
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (n < text.size()) {
        out += "...";
    }
    return out;
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

}  // namespace server
}  // namespace vrelay
