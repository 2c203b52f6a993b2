// SPDX-License-Identifier: GPL-3.0-or-later
// The speaking session: the front-end core's render worker (one connection
// to the speech server, one thread, a queue of jobs) and a sink per message
// that turns the server's answer into the module's events as it arrives:
// audio pieces (705), index marks (700) cut into the audio where the server
// placed them, and the message's end (702), stop (703) or pause (704).
//
// A voice the server does not know is not left silent: the message is spoken
// with the next voice the module was given to try (the language's, then the
// default one), with a line in the log the first time; the voice is not asked
// for again.
//
// Threads: the constructor, Voices, Speak, Stop, Pause and the destructor are
// called from the thread reading commands; the sinks run on the worker's
// thread. What both may write goes through ModuleOutput, which lets only the
// open message write.
#ifndef VRELAY_SPEECHD_SPEAKER_H
#define VRELAY_SPEECHD_SPEAKER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "frontend/prosody.h"
#include "frontend/render_worker.h"
#include "speechd/module_log.h"
#include "speechd/module_output.h"

namespace vrelay {
namespace speechd {

// One message as the server is to speak it.
struct Message {
    std::string markup;  // SSML, or the markup made of a character or a key
    frontend::ProsodySetting prosody;
    bool spell = false;
    // The voices to ask for, best first (see VoiceMap); "" is the server's
    // default.
    std::vector<std::string> voices;
};

class Speaker {
  public:
    // Speaks through the server the worker's options name (checkServer
    // false for the module's own server). Connects at the first call that
    // needs it.
    Speaker(ModuleOutput* output, ModuleLog* log, frontend::WorkerOptions options);
    ~Speaker();  // ends the open message with 703 STOP and the worker, at once
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    // Connects when needed and reads the server's voice list; false with
    // *error ("no speech server at 127.0.0.1:6543 (connection refused)").
    // Blocks until the server answers.
    bool Voices(std::vector<frontend::VoiceEntry>* voices, std::string* error);

    // Speaks message as message id, opened in the output by the caller.
    // Returns at once; the events follow from the worker's thread, ending
    // with 702 END, or 703 STOP when the server fails or cannot be reached
    // (the next message connects again).
    void Speak(uint64_t id, Message message);
    // Ends the open message at once with 703 STOP and cancels its rendering,
    // without waiting. Nothing happens when no message is open.
    void Stop();
    // Ends message id right after the next mark named "__spd_..." of its
    // audio, with 704 PAUSE; a message with no such mark left ends as usual.
    void Pause(uint64_t id) { pause_id_ = id; }

  private:
    class MessageSink;

    // The voices the server is not known to lack, in order; at least "".
    std::vector<std::string> KnownVoices(std::vector<std::string> voices);
    // Submits message with the first of its known voices.
    void Submit(uint64_t id, Message message);
    // The worker's thread, at a message's end: its voice was unknown; true
    // when the message goes on with the next voice.
    bool TryNextVoice(uint64_t id, Message message);
    bool PauseAsked(uint64_t id) const { return pause_id_ == id; }

    ModuleOutput* const output_;
    ModuleLog* const log_;
    std::atomic<uint64_t> pause_id_{0};
    std::mutex mutex_;
    std::set<std::string> unknown_voices_;  // the server said it does not know them
    frontend::RenderWorker worker_;        // last: it ends first
};

}  // namespace speechd
}  // namespace vrelay

#endif
