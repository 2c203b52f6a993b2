// SPDX-License-Identifier: GPL-3.0-or-later
// One browser tab's speech: a thread that runs the tab's speaking sessions,
// one at a time, on connections of the shared ServerPool. A speaking session
// submits its text request by request (asynchronous renders on the library's
// worker thread), taking a connection for each request and giving it back
// when its answer is complete, and passes audio and words on to its sink as
// they arrive; it starts the next request only while the page has less than
// kAheadSeconds of audio left to play and the sink holds little unsent, so
// memory stays small whatever the length of the text. Stop cancels the
// running request with vrCancelRequest.
//
// Every public function may be called from any thread; the session's state is
// guarded by one mutex. The library calls OnPacket on its worker thread.
#ifndef VRELAY_WEB_BROWSER_SESSION_H
#define VRELAY_WEB_BROWSER_SESSION_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web/server_pool.h"
#include "web/speech_text.h"

namespace vrelay {
namespace web {

// Where a speaking session's messages (web/frames.h) go.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // One message, in order; called from the session's thread and the
    // library's worker thread, never at the same time. Must not block.
    virtual void Send(std::string message) = 0;
    // Bytes handed to Send and not yet written out.
    virtual size_t Backlog() const = 0;
    // The last call, right after the END message.
    virtual void Finish() = 0;
};

struct SpeakJob {
    SpeechText text;    // started
    std::string voice;  // as the page names it, for the server; "" its default
    std::shared_ptr<FrameSink> sink;
};

class BrowserSession {
  public:
    static constexpr double kAheadSeconds = 10;
    static constexpr size_t kMaxBacklogBytes = 4u << 20;

    // The callback every connection of the pool must have.
    static int32_t VR_CDECL OnPacket(void* user, PACKET_TYPE type, void* data, int32_t length);

    // Starts the session's thread; it takes its connections from pool, which
    // must outlive the session.
    explicit BrowserSession(ServerPool* pool);
    // Close(), then waits for the thread.
    ~BrowserSession();
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    // Queues a speaking session; one running or waiting is stopped first
    // (its sink gets END "stopped"). Returns its number for Stop and Played.
    uint64_t Speak(std::unique_ptr<SpeakJob> job);
    // Stops speaking session `id` (nothing when it has ended). Its sink gets
    // END "stopped".
    void Stop(uint64_t id);
    // The page of session `id` has played this many samples.
    void Played(uint64_t id, uint32_t samples);
    // Stops everything; the thread ends.
    void Close();
    // The thread has ended: destroying the object does not wait.
    bool Finished() const { return finished_.load(); }

  private:
    enum class Outcome { kDone, kStopped, kFailed };
    int32_t Packet(PACKET_TYPE type, const void* data, int32_t length);
    void Run();
    void RunJob(SpeakJob* job);
    Outcome RenderRequest(const std::string& submit, const std::string& voice,
                          std::string* message);
    // Starts an asynchronous render of submit; false when it cannot start.
    bool Launch(vr_handle handle, const std::string& submit);
    bool StoppedLocked() const { return closing_ || stopId_ >= currentId_; }

    ServerPool* const pool_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<SpeakJob> pending_;  // waiting for the thread
    uint64_t pendingId_ = 0;
    uint64_t lastId_ = 0;
    uint64_t currentId_ = 0;  // the job the thread runs
    uint64_t stopId_ = 0;     // jobs up to this one are stopped
    bool closing_ = false;
    // The running job, for the callback.
    SpeakJob* job_ = nullptr;
    uint32_t sampleRate_ = 0;  // announced to the sink; 0 before
    uint64_t sent_ = 0;        // samples sent in this job
    uint64_t played_ = 0;      // samples the page has played
    uint64_t requestBase_ = 0; // sent_ when the running request began
    bool requestDone_ = false;
    bool finalMark_ = false;   // the running request's answer is complete
    bool requestOutput_ = false;  // the running request sent something
    std::string serverMessage_;

    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace web
}  // namespace vrelay

#endif
