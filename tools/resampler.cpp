// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/resampler.h"

#include <soxr.h>

namespace vrelay {
namespace tools {

Resampler::~Resampler() {
    Stop();
}

void Resampler::Stop() {
    if (soxr_ != nullptr) {
        soxr_delete(soxr_);
        soxr_ = nullptr;
    }
}

bool Resampler::Start(uint32_t inputRate, uint32_t outputRate, std::string* error) {
    Stop();
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t failure = nullptr;
    soxr_ = soxr_create(inputRate, outputRate, 1, &failure, &io, &quality, nullptr);
    if (soxr_ == nullptr || failure != nullptr) {
        *error = failure != nullptr ? failure : "cannot start the resampler";
        Stop();
        return false;
    }
    input_rate_ = inputRate;
    output_rate_ = outputRate;
    return true;
}

void Resampler::Process(const int16_t* samples, size_t count, std::vector<int16_t>* out) {
    if (soxr_ == nullptr) {
        return;
    }
    // Room for this block's share of output and some of the filter's delay.
    const size_t room = count * output_rate_ / input_rate_ + 256;
    size_t done = 0;
    do {
        const size_t start = out->size();
        out->resize(start + room);
        size_t consumed = 0;
        size_t produced = 0;
        soxr_process(soxr_, samples + done, count - done, &consumed, out->data() + start, room,
                     &produced);
        out->resize(start + produced);
        done += consumed;
        if (consumed == 0 && produced == 0) {
            break;  // nothing moves: drop the rest rather than spin
        }
        // A full output buffer may hold back input: go round until all is in.
    } while (done < count);
}

void Resampler::Flush(std::vector<int16_t>* out) {
    if (soxr_ == nullptr) {
        return;
    }
    constexpr size_t kRoom = 4096;
    size_t produced = 0;
    do {
        const size_t start = out->size();
        out->resize(start + kRoom);
        soxr_process(soxr_, nullptr, 0, nullptr, out->data() + start, kRoom, &produced);
        out->resize(start + produced);
    } while (produced == kRoom);
    Stop();
}

}  // namespace tools
}  // namespace vrelay
