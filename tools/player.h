// SPDX-License-Identifier: GPL-3.0-or-later
// Plays 16-bit mono audio through the sound server as it arrives, with
// PulseAudio's simple API: one blocking stream, and the server's own account
// of how much of what was written is still to be heard (its latency), which
// is the playback clock the word display follows. PipeWire's PulseAudio
// service serves it the same way.
//
// Write and Drain run on one thread (the one that receives the audio);
// Heard may be called from any thread at the same time.
#ifndef VRELAY_TOOLS_PLAYER_H
#define VRELAY_TOOLS_PLAYER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

struct pa_simple;

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
    // Queues samples for playing; blocks while the server's buffer (about a
    // tenth of a second) is full, so the caller is held to the pace of the
    // sound. False with *error when the server went away.
    bool Write(const int16_t* samples, size_t count, std::string* error);
    // Waits until everything written has been heard.
    bool Drain(std::string* error);
    // Samples heard so far, counted over every stream this player opened.
    int64_t Heard();
    int64_t Written() const { return written_.load(); }

  private:
    void Close();

    std::mutex mutex_;  // guards stream_ against Heard while it is replaced
    pa_simple* stream_ = nullptr;
    int64_t heard_ = 0;  // the last reading, guarded by mutex_
    uint32_t rate_ = 0;
    std::atomic<int64_t> written_{0};
};

}  // namespace tools
}  // namespace vrelay

#endif
