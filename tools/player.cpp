// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>

namespace vrelay {
namespace tools {

namespace {

// Samples written in one call: the playback clock is exact to about this much,
// since the count of written samples moves a piece at a time.
constexpr size_t kPieceMs = 10;
// What the server buffers ahead of the sound: enough to ride over a busy
// moment of the machine, short enough that a new text starts promptly.
constexpr uint32_t kBufferMs = 100;

}  // namespace

Player::~Player() {
    Close();
}

void Player::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stream_ != nullptr) {
        pa_simple_free(stream_);
        stream_ = nullptr;
    }
}

bool Player::Open(uint32_t rate, std::string* error) {
    if (stream_ != nullptr && rate == rate_) {
        return true;
    }
    if (stream_ != nullptr && !Drain(error)) {
        return false;
    }
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = rate;
    spec.channels = 1;
    pa_buffer_attr buffer;
    buffer.maxlength = static_cast<uint32_t>(-1);
    buffer.tlength = static_cast<uint32_t>(rate * 2 * kBufferMs / 1000);
    buffer.prebuf = static_cast<uint32_t>(-1);
    buffer.minreq = static_cast<uint32_t>(-1);
    buffer.fragsize = static_cast<uint32_t>(-1);
    int code = 0;
    pa_simple* stream = pa_simple_new(nullptr, "vrelay-say", PA_STREAM_PLAYBACK, nullptr, "speech",
                                      &spec, nullptr, &buffer, &code);
    if (stream == nullptr) {
        *error = pa_strerror(code);
        return false;
    }
    Close();
    std::lock_guard<std::mutex> lock(mutex_);
    stream_ = stream;
    rate_ = rate;
    return true;
}

bool Player::Write(const int16_t* samples, size_t count, std::string* error) {
    const size_t piece = std::max<size_t>(1, rate_ * kPieceMs / 1000);
    for (size_t at = 0; at < count; at += piece) {
        const size_t n = std::min(piece, count - at);
        int code = 0;
        // Only this thread replaces the stream: no lock needed to use it.
        if (stream_ == nullptr || pa_simple_write(stream_, samples + at, n * 2, &code) < 0) {
            *error = stream_ == nullptr ? "no sound stream" : pa_strerror(code);
            return false;
        }
        written_ += static_cast<int64_t>(n);
    }
    return true;
}

bool Player::Drain(std::string* error) {
    int code = 0;
    if (stream_ != nullptr && pa_simple_drain(stream_, &code) < 0) {
        *error = pa_strerror(code);
        return false;
    }
    return true;
}

int64_t Player::Heard() {
    const int64_t written = written_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stream_ == nullptr) {
        heard_ = written;
        return heard_;
    }
    int code = 0;
    const pa_usec_t latency = pa_simple_get_latency(stream_, &code);
    if (latency != static_cast<pa_usec_t>(-1)) {
        // The clock never runs back, whatever a reading's rounding.
        const int64_t pending = static_cast<int64_t>(latency * rate_ / 1000000);
        heard_ = std::max(heard_, written - pending);
    }
    return heard_;
}

}  // namespace tools
}  // namespace vrelay
