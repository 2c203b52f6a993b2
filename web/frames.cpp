// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/frames.h"

namespace vrelay {
namespace web {

namespace {

// Reads little-endian fields from a message, refusing to read past its end.
class Reader {
  public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    bool Unsigned(size_t size, uint32_t* value) {
        if (bytes_.size() - at_ < size) {
            return false;
        }
        uint32_t v = 0;
        for (size_t i = 0; i < size; ++i) {
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes_[at_ + i])) << (8 * i);
        }
        at_ += size;
        *value = v;
        return true;
    }
    bool Bytes(size_t size, std::string* out) {
        if (bytes_.size() - at_ < size) {
            return false;
        }
        out->assign(bytes_, at_, size);
        at_ += size;
        return true;
    }
    std::string Rest() {
        std::string rest = bytes_.substr(at_);
        at_ = bytes_.size();
        return rest;
    }
    bool AtEnd() const { return at_ == bytes_.size(); }

  private:
    const std::string& bytes_;
    size_t at_ = 0;
};

void Put(std::string* out, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::string Start(BridgeKind kind) {
    return std::string(1, static_cast<char>(kind));
}

bool DecodeSpeak(Reader* reader, SpeakRequest* speak, std::string* error) {
    uint32_t flags = 0, rate = 0, pitch = 0, volume = 0, start = 0, voiceLength = 0;
    if (!reader->Unsigned(1, &flags) || !reader->Unsigned(2, &rate) ||
        !reader->Unsigned(2, &pitch) || !reader->Unsigned(2, &volume) ||
        !reader->Unsigned(4, &start) || !reader->Unsigned(1, &voiceLength) ||
        !reader->Bytes(voiceLength, &speak->voice)) {
        *error = "SPEAK message cut short";
        return false;
    }
    const int signedPitch = static_cast<int16_t>(static_cast<uint16_t>(pitch));
    const auto outside = [](int value, SliderLimits limits) {
        return value < limits.low || value > limits.high;
    };
    if ((flags & ~1u) != 0 || outside(static_cast<int>(rate), kRateLimits) ||
        outside(signedPitch, kPitchLimits) || outside(static_cast<int>(volume), kVolumeLimits)) {
        *error = "SPEAK field out of range";
        return false;
    }
    speak->markup = (flags & 1u) != 0;
    speak->rate = static_cast<int>(rate);
    speak->pitch = signedPitch;
    speak->volume = static_cast<int>(volume);
    speak->start = start;
    speak->text = reader->Rest();
    return true;
}

}  // namespace

bool DecodePageMessage(const std::string& message, PageMessage* out, std::string* error) {
    Reader reader(message);
    uint32_t kind = 0;
    if (!reader.Unsigned(1, &kind)) {
        *error = "empty message";
        return false;
    }
    PageMessage decoded;
    switch (kind) {
        case static_cast<uint32_t>(PageKind::kSpeak):
            decoded.kind = PageKind::kSpeak;
            if (!DecodeSpeak(&reader, &decoded.speak, error)) {
                return false;
            }
            break;
        case static_cast<uint32_t>(PageKind::kStop):
            decoded.kind = PageKind::kStop;
            break;
        case static_cast<uint32_t>(PageKind::kPlayed):
            decoded.kind = PageKind::kPlayed;
            if (!reader.Unsigned(4, &decoded.played)) {
                *error = "PLAYED message cut short";
                return false;
            }
            break;
        default:
            *error = "unknown message kind " + std::to_string(kind);
            return false;
    }
    if (!reader.AtEnd()) {
        *error = "message longer than its kind";
        return false;
    }
    *out = std::move(decoded);
    return true;
}

std::string EncodeFormat(uint32_t sampleRate) {
    std::string out = Start(BridgeKind::kFormat);
    Put(&out, sampleRate, 4);
    return out;
}

std::string EncodeAudio(const int16_t* samples, size_t count) {
    std::string out = Start(BridgeKind::kAudio);
    out.reserve(1 + 2 * count);
    for (size_t i = 0; i < count; ++i) {
        Put(&out, static_cast<uint16_t>(samples[i]), 2);
    }
    return out;
}

std::string EncodeWord(uint32_t sample, uint32_t begin, uint32_t end) {
    std::string out = Start(BridgeKind::kWord);
    Put(&out, sample, 4);
    Put(&out, begin, 4);
    Put(&out, end, 4);
    return out;
}

std::string EncodeEnd(EndReason reason, uint32_t samples, const std::string& message) {
    std::string out = Start(BridgeKind::kEnd);
    Put(&out, static_cast<uint32_t>(reason), 1);
    Put(&out, samples, 4);
    return out + message;
}

}  // namespace web
}  // namespace vrelay
