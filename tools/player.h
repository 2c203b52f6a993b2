// SPDX-License-Identifier: GPL-3.0-or-later
// Plays 16-bit mono audio through the sound server as it arrives, with
// PulseAudio's client library (PipeWire's PulseAudio service serves it the
// same way): one stream, fed as the server asks for more, and the server's own
// account of what it has played, asked for afresh at each reading, as the
// playback clock the word display follows. (The simple API answers from a
// clock it interpolates and smooths, which runs ahead of the sound for a
// second or more when a sound server starts a stream late.)
//
// Write and Drain run on one thread (the one that receives the audio);
// Heard may be called from any thread at the same time.
#ifndef VRELAY_TOOLS_PLAYER_H
#define VRELAY_TOOLS_PLAYER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace vrelay {
namespace tools {

class Player {
  public:
    Player() = default;
    // Closes the stream: what is not heard yet is dropped at once.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Connects to the sound server (PULSE_SERVER, else the user's) and opens a
    // stream at rate. Opening again at another rate first lets the old stream
    // play out. False with *error when no sound server answers.
    bool Open(uint32_t rate, std::string* error);
    uint32_t Rate() const { return rate_; }
    // Queues samples for playing; blocks while the server's buffer (a quarter
    // of a second) is full, so the caller is held to the pace of the sound. False with *error when
    // the server went away.
    bool Write(const int16_t* samples, size_t count, std::string* error);
    // Waits until everything written has been heard.
    bool Drain(std::string* error);
    // Samples heard so far, counted over every stream this player opened.
    int64_t Heard();
    int64_t Written() const { return written_.load(); }

  private:
    bool Connect(std::string* error);
    void CloseStream();
    // The context's or the stream's last error.
    std::string Failure() const;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;  // guarded by the loop's lock
    uint32_t rate_ = 0;
    int64_t base_ = 0;                 // samples of the streams before this one
    std::atomic<int64_t> written_{0};  // over every stream
    int64_t heard_ = 0;                // the last reading, under the loop's lock
};

}  // namespace tools
}  // namespace vrelay

#endif
