// Writes mono audio as a RIFF/WAVE file: 16-bit PCM, or 8-bit G.711 mu-law or
// A-law converted with the library's companding functions.
#ifndef VRELAY_TOOLS_WAV_WRITER_H
#define VRELAY_TOOLS_WAV_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrelay {
namespace tools {

enum class WavEncoding { kPcm16, kUlaw, kAlaw };

class WavWriter {
  public:
    explicit WavWriter(WavEncoding encoding) : encoding_(encoding) {}
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates (truncates) the file. False with *error when it cannot.
    bool Open(const std::string& path, std::string* error);
    // Writes the header and all samples, then closes the file.
    bool Write(const std::vector<int16_t>& samples, uint32_t sampleRate, std::string* error);

    // The whole file as bytes, for tests and for writers of other sinks.
    static std::vector<uint8_t> Encode(const std::vector<int16_t>& samples, uint32_t sampleRate,
                                       WavEncoding encoding);

  private:
    WavEncoding encoding_;
    FILE* file_ = nullptr;
};

}  // namespace tools
}  // namespace vrelay

#endif
