// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/player.h"

#include <pulse/error.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>

namespace vrelay {
namespace tools {

namespace {

// What the server buffers ahead of the sound: enough to ride over a busy
// moment of the machine, short enough that a new text starts promptly.
constexpr uint32_t kBufferMs = 250;
// What must be there before the sound starts (or starts again after running
// dry).
constexpr uint32_t kStartMs = 10;

// Every callback only wakes whoever waits on the loop.
void Wake(void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}
void OnContextState(pa_context*, void* loop) {
    Wake(loop);
}
void OnStreamState(pa_stream*, void* loop) {
    Wake(loop);
}
void OnWritable(pa_stream*, size_t, void* loop) {
    Wake(loop);
}
void OnDone(pa_stream*, int, void* loop) {
    Wake(loop);
}

// Waits, the loop's lock held, until state() is ready or broken; true when
// ready.
template <typename State, typename Ready, typename Good>
bool AwaitState(pa_threaded_mainloop* loop, State state, Ready ready, Good good) {
    for (;;) {
        const auto now = state();
        if (now == ready || !good(now)) {
            return now == ready;
        }
        pa_threaded_mainloop_wait(loop);
    }
}

// Waits, the loop's lock held, until the operation is over.
void Await(pa_threaded_mainloop* loop, pa_operation* operation) {
    if (operation == nullptr) {
        return;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(loop);
    }
    pa_operation_unref(operation);
}

}  // namespace

Player::~Player() {
    if (loop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(loop_);
    CloseStream();
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

std::string Player::Failure() const {
    return context_ != nullptr ? pa_strerror(pa_context_errno(context_)) : "no sound server";
}

bool Player::Connect(std::string* error) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        *error = "out of memory";
        return false;
    }
    pa_threaded_mainloop_lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "vrelay-say");
    bool ready = false;
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, OnContextState, loop_);
        ready = pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0 &&
                pa_threaded_mainloop_start(loop_) >= 0 &&
                AwaitState(
                    loop_, [this] { return pa_context_get_state(context_); }, PA_CONTEXT_READY,
                    [](pa_context_state_t state) { return PA_CONTEXT_IS_GOOD(state); });
    }
    if (!ready) {
        *error = Failure();
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
}

void Player::CloseStream() {
    if (stream_ != nullptr) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
}

bool Player::Open(uint32_t rate, std::string* error) {
    if (stream_ != nullptr && rate == rate_) {
        return true;
    }
    if (loop_ == nullptr && !Connect(error)) {
        return false;
    }
    if (stream_ != nullptr && !Drain(error)) {
        return false;
    }
    pa_sample_spec format;
    format.format = PA_SAMPLE_S16LE;
    format.rate = rate;
    format.channels = 1;
    pa_buffer_attr buffer;
    buffer.maxlength = static_cast<uint32_t>(-1);
    buffer.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kBufferMs * PA_USEC_PER_MSEC, &format));
    // Playing starts with the first piece of audio, not once the buffer is
    // full: the speech server sends faster than the sound plays.
    buffer.prebuf = static_cast<uint32_t>(pa_usec_to_bytes(kStartMs * PA_USEC_PER_MSEC, &format));
    buffer.minreq = static_cast<uint32_t>(-1);
    buffer.fragsize = static_cast<uint32_t>(-1);
    pa_threaded_mainloop_lock(loop_);
    CloseStream();
    base_ = written_.load();
    heard_ = base_;
    stream_ = pa_stream_new(context_, "speech", &format, nullptr);
    bool ready = false;
    if (stream_ != nullptr) {
        pa_stream_set_state_callback(stream_, OnStreamState, loop_);
        pa_stream_set_write_callback(stream_, OnWritable, loop_);
        // No interpolation: each reading of the clock asks the server.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        ready =
            pa_stream_connect_playback(stream_, nullptr, &buffer, flags, nullptr, nullptr) >= 0 &&
            AwaitState(
                loop_, [this] { return pa_stream_get_state(stream_); }, PA_STREAM_READY,
                [](pa_stream_state_t state) { return PA_STREAM_IS_GOOD(state); });
    }
    if (!ready) {
        *error = Failure();
        CloseStream();
    } else {
        rate_ = rate;
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
}

bool Player::Write(const int16_t* samples, size_t count, std::string* error) {
    if (loop_ == nullptr) {
        *error = "no sound stream";
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
    size_t left = count * 2;
    pa_threaded_mainloop_lock(loop_);
    bool ok = stream_ != nullptr;
    while (ok && left > 0) {
        const size_t room = pa_stream_writable_size(stream_);
        if (room == static_cast<size_t>(-1)) {
            ok = false;
        } else if (room == 0) {
            pa_threaded_mainloop_wait(loop_);
            ok = PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
        } else {
            // Whole samples only: the count of written samples is the clock's.
            const size_t n = std::min(room, left) & ~static_cast<size_t>(1);
            ok = pa_stream_write(stream_, bytes, n, nullptr, 0, PA_SEEK_RELATIVE) >= 0;
            bytes += n;
            left -= n;
            written_ += static_cast<int64_t>(n / 2);
        }
    }
    if (!ok) {
        *error = stream_ != nullptr ? Failure() : "no sound stream";
    }
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

bool Player::Drain(std::string* error) {
    if (loop_ == nullptr) {
        return true;
    }
    pa_threaded_mainloop_lock(loop_);
    bool ok = true;
    if (stream_ != nullptr) {
        Await(loop_, pa_stream_drain(stream_, OnDone, loop_));
        ok = PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
    }
    if (!ok) {
        *error = Failure();
    }
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

int64_t Player::Heard() {
    if (loop_ == nullptr) {
        return 0;
    }
    pa_threaded_mainloop_lock(loop_);
    if (stream_ != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        Await(loop_, pa_stream_update_timing_info(stream_, OnDone, loop_));
        pa_usec_t played = 0;
        if (pa_stream_get_time(stream_, &played) >= 0) {
            // The clock never runs back, whatever a reading's rounding.
            const int64_t samples = static_cast<int64_t>(played * rate_ / PA_USEC_PER_SEC);
            heard_ = std::max(heard_, base_ + samples);
        }
    }
    const int64_t heard = heard_;
    pa_threaded_mainloop_unlock(loop_);
    return heard;
}

}  // namespace tools
}  // namespace vrelay
