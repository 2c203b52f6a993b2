// SPDX-License-Identifier: GPL-3.0-or-later
// The render worker: one connection to a speech server and one thread that
// runs speech jobs on it, one at a time, in order. A job is a text (whole, or
// coming piece by piece from its sink) with a voice and a prosody setting;
// the worker connects (again, after a failure), selects the voice, cuts the
// text into requests (RequestCutter), renders them and decodes the answers
// (AnswerDecoder) into the job's sink, and ends the job with how and why.
//
// Stop cancels the running request with vrCancelRequest, which also frees a
// call waiting for the server (a render, the voice selection); queued jobs
// end at once. A server that fails before answering a request (it closed an
// idle connection) is reconnected once and the request submitted again. A
// failure mid-text ends the job; the last word's place in the user's text is
// known from the request (Request::Word), so resuming from it after a
// reconnect can go into RenderJob without changing the API.
//
// Doors: vrelay-say runs its one job here and waits for it (--stream feeds
// the text through JobSink::NextText); vrelay-web keeps one worker per
// browser tab (Speak = Stop + Submit, PLAYED = Poke with the sink's
// ReadyForMore holding the bridge a few seconds ahead of the page);
// sd_vrelay keeps one for the module (STOP = Stop, PAUSE = a sink that
// refuses after its resume mark).
//
// Threads: every public function may be called from any thread, except
// from inside a sink's callbacks (Stop, Wait, Voices, Connect and CheckVoice
// there would wait for the worker's own thread). The sink's calls come from
// the worker's thread (or, with async, the library's worker thread while the
// worker waits). The thread blocks every signal: signals are the main
// thread's.
#ifndef VRELAY_FRONTEND_RENDER_WORKER_H
#define VRELAY_FRONTEND_RENDER_WORKER_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frontend/answer_decoder.h"
#include "frontend/exit_codes.h"
#include "frontend/prosody.h"
#include "frontend/voice_choice.h"

namespace vrelay {
namespace frontend {

// How a job (or a Connect or Voices call) ended.
struct JobEnd {
    enum class Outcome { kDone, kStopped, kFailed };
    Outcome outcome = Outcome::kDone;
    // kStopped: the sink stopped it (returned false), not Stop.
    bool bySink = false;
    // kFailed: the door's exit code for it, and why, in words for a user:
    // "no speech server at HOST:PORT (connection refused)", "unknown voice
    // \"x\"", the server's refusal ("server busy", refused = true), "the
    // server stopped answering".
    int exitCode = kExitOk;
    std::string reason;
    bool refused = false;
    // kDone: the text held nothing to speak.
    bool silent = false;
};

class JobSink : public SpeechSink {
  public:
    // Before each request: whether the door wants more audio yet. The worker
    // waits until it does, or until Poke or Stop.
    virtual bool ReadyForMore() { return true; }
    // For a job whose text comes live: the next piece (appended to *text);
    // *endOfLine: what came so far is to be spoken now. False at the end of
    // the text. May block (reading standard input); Stop does not end that
    // wait. The default: the job's text is all there is.
    virtual bool NextText(std::string* /*text*/, bool* /*endOfLine*/) { return false; }
    // The last call for the job.
    virtual void OnEnd(const JobEnd& end) = 0;
};

struct SpeechJob {
    std::string text;  // the user's text, cleaned; more may come from NextText
    bool markup = false;
    // As a person typed it, for the server to choose from: a voice name, a
    // language tag or name, LANG+VARIANT ("fr", "french", "en+f3"), or
    // +VARIANT ("+whisper": the server's default voice with it); "" for the
    // server's default voice.
    std::string voice;
    ProsodySetting prosody;
    size_t requestBytes = 4000;  // submitted bytes of a request
    int64_t startByte = 0;       // speak from this byte of the text
    std::shared_ptr<JobSink> sink;
};

struct WorkerOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    // Render each request on the library's worker thread; a job then goes as
    // one request (vrelay-say --async).
    bool async = false;
    // Read the voice list on connecting, so that a port where something
    // else answers is reported as not a speech server (a named server; the
    // embedded one is known).
    bool checkServer = true;
};

class RenderWorker {
  public:
    // Starts the thread; it connects at the first job, Connect or Voices.
    explicit RenderWorker(WorkerOptions options);
    ~RenderWorker();  // Close()
    RenderWorker(const RenderWorker&) = delete;
    RenderWorker& operator=(const RenderWorker&) = delete;

    // Queues a job (it needs a sink); returns its number (0 after Close,
    // when the sink gets OnEnd stopped at once).
    uint64_t Submit(SpeechJob job);
    // Stops job id, or every job for 0: a queued one ends at once, the
    // running one's request is cancelled. Returns without waiting.
    void Stop(uint64_t id = 0);
    // The running job's sink may be ready for more. Call it without holding
    // a lock that the sink's ReadyForMore takes.
    void Poke();
    // Returns once job id has ended (at once for one unknown or ended).
    void Wait(uint64_t id);

    // Connects (or reconnects) now; false with *failure when no speech
    // server answers. The server's voices come with it (Voices).
    bool Connect(JobEnd* failure);
    // The server's voices, read once per connection; false with *failure.
    bool Voices(std::vector<VoiceEntry>* voices, JobEnd* failure);
    // Connects when needed and selects voice (as SpeechJob::voice) now, so
    // that a door can tell a wrong voice before it starts its output; a job
    // with the same voice then speaks without selecting it again. False with
    // *failure: kExitUnknownVoice and "unknown voice \"x\"" when the server
    // does not know it, or why the server could not be asked.
    bool CheckVoice(const std::string& voice, JobEnd* failure);

    // Stops everything; the thread ends and destroys the connection.
    void Close();

  private:
    struct Item;
    class Quiet;

    static int32_t VR_CDECL OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length);
    int32_t Packet(PACKET_TYPE type, const void* data, int32_t length);
    void Run();
    uint64_t Queue(std::unique_ptr<Item> item);
    // Queues a Connect, Voices or CheckVoice item and waits for its end.
    bool Ask(std::unique_ptr<Item> item, JobEnd* failure);
    void RunItem(Item* item);
    void RunJob(const SpeechJob& job, AnswerDecoder* decoder, JobEnd* end);
    // Renders one request, reconnecting once (with the voice) when the server
    // failed before answering; false with *end when the job ends.
    bool RenderRequest(const Request& request, const std::string& voice, AnswerDecoder* decoder,
                       JobEnd* end);
    // One library call as the running request, which Stop may cancel.
    vr_result Call(AnswerDecoder* decoder, const std::function<vr_result()>& call);
    vr_result RenderAsync(const std::string& submit);
    bool EnsureConnected(JobEnd* end);
    bool Open(JobEnd* end);
    bool ReadVoiceList(JobEnd* end);
    bool SelectVoice(const std::string& wanted, JobEnd* end);
    bool WaitForRoom(JobSink* sink);
    bool StoppedLocked() const { return closing_ || stopId_ >= currentId_; }

    const WorkerOptions options_;
    const vr_handle handle_;  // used by the worker's thread; Stop cancels on it

    // The worker thread's own.
    bool connected_ = false;
    bool broken_ = false;  // a refused answer left the stream unread
    std::optional<std::vector<VoiceEntry>> voices_;
    std::string selected_;  // the voice selected as asked for, "" the server's default
    bool voiceKnown_ = true;  // false once markup switched voices inside

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Item>> queue_;
    uint64_t lastId_ = 0;
    uint64_t currentId_ = 0;  // the item the thread runs, 0 for none
    uint64_t stopId_ = 0;     // items up to this one are stopped
    bool closing_ = false;
    bool finished_ = false;  // the thread has ended
    int cancels_ = 0;        // cancels in progress
    bool inCall_ = false;        // a library call runs as the current request
    bool cancelled_ = false;     // Stop cancelled it (the connection was rebuilt)
    bool requestDone_ = false;   // an asynchronous render delivered its end
    std::atomic<bool> stopping_{false};  // the callback refuses every packet
    std::atomic<AnswerDecoder*> decoder_{nullptr};
    std::atomic<bool> sinkRefused_{false};  // the callback refused because the sink did

    std::thread thread_;
};

}  // namespace frontend
}  // namespace vrelay

#endif
