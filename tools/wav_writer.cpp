#include "tools/wav_writer.h"

#include <cerrno>
#include <cstring>

#include <vrelay/vrelay.h>

namespace vrelay {
namespace tools {

namespace {

void Put16(std::vector<uint8_t>* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PutTag(std::vector<uint8_t>* out, const char* tag) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<uint8_t>(tag[i]));
    }
}

}  // namespace

WavWriter::~WavWriter() {
    if (file_) {
        std::fclose(file_);
    }
}

bool WavWriter::Open(const std::string& path, std::string* error) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<uint8_t> WavWriter::Encode(const std::vector<int16_t>& samples, uint32_t sampleRate,
                                       WavEncoding encoding) {
    const bool pcm = encoding == WavEncoding::kPcm16;
    const uint32_t bytesPerSample = pcm ? 2 : 1;
    const uint32_t dataSize = static_cast<uint32_t>(samples.size()) * bytesPerSample;
    const uint32_t pad = dataSize & 1;
    // PCM: a 16-byte fmt chunk. G.711: an 18-byte fmt chunk and a fact chunk,
    // as non-PCM formats require.
    const uint32_t fmtSize = pcm ? 16 : 18;
    const uint32_t factSize = pcm ? 0 : 12;

    std::vector<uint8_t> out;
    out.reserve(44 + factSize + dataSize + pad + 2);
    PutTag(&out, "RIFF");
    Put32(&out, 4 + (8 + fmtSize) + factSize + (8 + dataSize + pad));
    PutTag(&out, "WAVE");
    PutTag(&out, "fmt ");
    Put32(&out, fmtSize);
    Put16(&out, pcm ? 1 : encoding == WavEncoding::kAlaw ? 6 : 7);
    Put16(&out, 1);  // mono
    Put32(&out, sampleRate);
    Put32(&out, sampleRate * bytesPerSample);
    Put16(&out, bytesPerSample);
    Put16(&out, bytesPerSample * 8);
    if (!pcm) {
        Put16(&out, 0);  // no extension
        PutTag(&out, "fact");
        Put32(&out, 4);
        Put32(&out, static_cast<uint32_t>(samples.size()));
    }
    PutTag(&out, "data");
    Put32(&out, dataSize);
    for (int16_t sample : samples) {
        switch (encoding) {
            case WavEncoding::kPcm16:
                Put16(&out, static_cast<uint16_t>(sample));
                break;
            case WavEncoding::kUlaw:
                out.push_back(vrSampleToUlaw(sample));
                break;
            case WavEncoding::kAlaw:
                out.push_back(vrSampleToAlaw(sample));
                break;
        }
    }
    if (pad) {
        out.push_back(0);
    }
    return out;
}

bool WavWriter::Write(const std::vector<int16_t>& samples, uint32_t sampleRate,
                      std::string* error) {
    if (!file_) {
        *error = "not open";
        return false;
    }
    const std::vector<uint8_t> bytes = Encode(samples, sampleRate, encoding_);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tools
}  // namespace vrelay
