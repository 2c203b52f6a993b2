// SPDX-License-Identifier: GPL-3.0-or-later
// The speaking session: one connection to the speech server and one thread
// that renders the messages on it, turning the server's answer into the
// module's events as it arrives: audio pieces (705), index marks (700) at
// the point of the audio where the server placed them, and the message's
// end (702), stop (703) or pause (704).
//
// Threads: Connect, Voices, Speak, Stop, Pause and the destructor are called
// from one thread (the one reading commands); the rendering and the packet
// callback run on the session's own thread. What both may write goes
// through ModuleOutput, which lets only the open message write.
#ifndef VRELAY_SPEECHD_SPEAKER_H
#define VRELAY_SPEECHD_SPEAKER_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "speechd/module_log.h"
#include "speechd/module_output.h"
#include "frontend/voice_choice.h"

namespace vrelay {
namespace speechd {

class Speaker {
  public:
    Speaker(ModuleOutput* output, ModuleLog* log);
    ~Speaker();  // stops a message being spoken and ends the thread
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    // Opens the connection to the server (again, when it was open). False
    // with *error when the server cannot be reached.
    bool Connect(const std::string& host, int port, std::string* error);
    // The server's voice list; false when it cannot be read.
    bool Voices(std::vector<frontend::VoiceEntry>* voices);

    // Speaks markup (the text of a vrRenderSpeechXML) as message id, opened
    // in the output by the caller, with the server voice named ("" for the
    // server's default). Returns at once; the message's events follow from
    // the session's thread, ending with 702 END, or 703 STOP when the server
    // fails or cannot be reached (the next message connects again).
    void Speak(uint64_t id, std::string markup, std::string voice);
    // Ends the open message at once with 703 STOP and cancels its rendering;
    // returns when the rendering has stopped. Nothing happens when no message
    // is open.
    void Stop();
    // Ends message id right after the next mark named "__spd_..." of its
    // audio, with 704 PAUSE; a message with no such mark left ends as usual.
    void Pause(uint64_t id);

  private:
    struct Job {
        uint64_t id = 0;
        std::string markup;
        std::string voice;
    };
    struct Mark {
        int64_t sample = 0;
        std::string name;
    };
    // The rendering message, touched only on the session's thread.
    struct Render {
        uint64_t id = 0;
        uint32_t rate = 22050;
        int64_t sent = 0;  // samples written
        std::deque<Mark> marks;  // reached by the server, their audio not yet written
        bool refused = false;    // the callback stopped it (the answer is left unread)
    };

    static int32_t VR_CDECL OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length);
    bool OnAudio(const unsigned char* pcm, size_t bytes);
    bool OnMark(int64_t sample, const std::string& name);
    bool WriteMark(const Mark& mark);
    void Run();
    void SpeakJob(const Job& job);
    bool Reopen();
    bool SelectVoice(const std::string& voice);

    ModuleOutput* const output_;
    ModuleLog* const log_;
    vr_handle connection_;
    std::string host_;
    int port_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool quit_ = false;

    // Set when the connection was opened anew (it speaks with the server's
    // default voice), read by the session's thread before a message.
    std::atomic<bool> fresh_{false};
    std::atomic<bool> broken_{false};
    std::atomic<uint64_t> pauseId_{0};

    // The session thread's own.
    // The voice selected on the connection ("" the server's default); none
    // when not known (a message switched voices inside).
    std::optional<std::string> selected_;
    Render render_;

    std::thread thread_;
};

}  // namespace speechd
}  // namespace vrelay

#endif
