// SPDX-License-Identifier: GPL-3.0-or-later
// Converts a stream of 16-bit mono samples from one rate to another with
// libsoxr (high quality), block by block with constant memory.
#ifndef VRELAY_TOOLS_RESAMPLER_H
#define VRELAY_TOOLS_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct soxr;

namespace vrelay {
namespace tools {

class Resampler {
  public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Starts a conversion; false with *error when libsoxr refuses the rates.
    bool Start(uint32_t inputRate, uint32_t outputRate, std::string* error);
    uint32_t InputRate() const { return input_rate_; }
    // Appends the converted samples available so far to *out.
    void Process(const int16_t* samples, size_t count, std::vector<int16_t>* out);
    // Appends the samples still held back by the filter's delay; the
    // conversion ends.
    void Flush(std::vector<int16_t>* out);

  private:
    void Stop();
    soxr* soxr_ = nullptr;
    uint32_t input_rate_ = 0;
    uint32_t output_rate_ = 0;
};

}  // namespace tools
}  // namespace vrelay

#endif
