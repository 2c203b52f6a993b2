// SPDX-License-Identifier: GPL-3.0-or-later
// The render worker: one thread that runs speech jobs, one at a time, in
// order, on connections to a speech server. A job is a text (whole, or
// coming piece by piece from its sink) with a voice and a prosody setting;
// the worker cuts the text into requests (RequestCutter), takes a connection
// for each from its ConnectionPool (its own pool of one, or one shared with
// other workers), connects it (again, after a failure), selects the voice on
// it, renders the request, decodes the answer (AnswerDecoder) into the job's
// sink and gives the connection back; it ends the job with how and why.
// Connecting, reconnecting, voice selection and cancelling are done here
// for every door and every connection; the pool only hands connections out.
//
// Stop cancels the running request with vrCancelRequest, which also frees a
// call waiting for the server (a render, the voice selection); queued jobs
// end at once, and so does a job waiting for a connection of a shared pool.
// A server that fails before answering a request (it closed an idle
// connection) is reconnected once and the request submitted again. A server
// that fails mid-text (its connection breaks, or it closes it; not a cancel,
// not a refusal) is resumed from (WorkerOptions::resume): the worker opens a
// connection again, to the same address first (behind a proxy that reaches a
// live server), then to the others given, for up to kResumeSeconds, and
// submits the rest of the text from the start of the last word whose mark
// came, with the job's voice and prosody and the markup elements open there.
// The job stays one job: words keep their places in the whole text and the
// audio one clock; no word is delivered twice. A sink that can take audio
// back (a file) drops what came after that word's mark (OnRewind), so every
// word's audio is there once; a live one hears the interrupted word again.
// The sink hears of each resume once (OnResume). Three failures in a row
// without a new word, or no server within the bound, end the job with the
// failure as it was.
//
// Doors: vrelay-say runs its one job here and waits for it (--stream feeds
// the text through JobSink::NextText); vrelay-web keeps one worker per
// browser tab on one shared pool (Speak = Stop + Submit, PLAYED = Poke with
// the sink's ReadyForMore holding the bridge a few seconds ahead of the
// page, so that a tab holds a connection only while a request renders);
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
#include "frontend/connection_pool.h"
#include "frontend/exit_codes.h"
#include "frontend/prosody.h"
#include "frontend/request_cutter.h"
#include "frontend/voice_choice.h"
#include "transport/address.h"

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
    // kFailed: the server failed mid-request (its connection broke, or it
    // closed it) and was not resumed.
    bool serverLost = false;
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
    // The server failed mid-text and the job goes on from a word on a new
    // connection; notice says so in words for a user: "the speech server
    // failed (the server stopped answering); speaking on from "word" at
    // HOST:PORT". Once a failure.
    virtual void OnResume(const std::string& /*notice*/) {}
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
    bool spell = false;  // every word said as its characters
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
    // The connections, shared with other workers; host and port are then
    // the pool's. It must outlive the worker. Null: a pool of one of the
    // worker's own, to host:port.
    ConnectionPool* pool = nullptr;
    // Without pool: servers to try, in order, when host:port does not answer
    // (a pool has its own).
    std::vector<HostPort> fallbacks;
    // A text goes on after its server failed mid-text (see above).
    bool resume = true;
};

// How long a resume tries to reach a server, and how many failures in a row
// without a new word end the job.
constexpr int kResumeSeconds = 10;
constexpr int kResumeTries = 3;

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

    // Stops everything; the thread ends and gives back its connection (its
    // own is destroyed). Returns once the thread has ended.
    void Close();
    // As Close, but returns at once; Finished tells when the thread has
    // ended, and the destructor waits for it.
    void CloseSoon();
    bool Finished();

  private:
    struct Item;
    class Quiet;
    struct JobText;

    static int32_t VR_CDECL OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length);
    int32_t Packet(PACKET_TYPE type, const void* data, int32_t length);
    void Run();
    uint64_t Queue(std::unique_ptr<Item> item);
    // Queues a Connect, Voices or CheckVoice item and waits for its end.
    bool Ask(std::unique_ptr<Item> item, JobEnd* failure);
    void RunItem(Item* item);
    void RunJob(const SpeechJob& job, AnswerDecoder* decoder, JobEnd* end);
    // Takes a connection from the pool, unless one is held; false with
    // *end stopped when the job was stopped (or the pool closed) first.
    bool Hold(const std::string& voice, JobEnd* end);
    // Gives the connection held back to the pool, once no cancel is at work
    // on it.
    void Release();
    // Hold, connect when needed and select voice.
    bool Prepare(const std::string& voice, JobEnd* end);
    // Renders one request, reconnecting once (with the voice) when the server
    // failed before answering; false with *end when the job ends.
    bool RenderRequest(const Request& request, const std::string& voice, AnswerDecoder* decoder,
                       JobEnd* end);
    // One library call as the running request, which Stop may cancel.
    vr_result Call(AnswerDecoder* decoder, const std::function<vr_result()>& call);
    vr_result RenderAsync(const std::string& submit);
    // After the server failed mid-request: a connection again, and a cutter
    // for the rest of the text from the last word delivered. False when no
    // server answers within the bound (*end, the failure, stays) or the job
    // was stopped (*end says so).
    bool Resume(const JobText& text, const RequestCutter::Options& cut, JobSink* sink,
                AnswerDecoder* decoder, std::unique_ptr<RequestCutter>* cutter, JobEnd* end);
    bool EnsureConnected(JobEnd* end);
    // Opens a session: at the pool's address, else at each fallback in turn;
    // *end tells why the first address failed.
    bool Open(JobEnd* end);
    bool OpenAt(const HostPort& address, JobEnd* end);
    bool ReadVoiceList(JobEnd* end);
    bool SelectVoice(const std::string& wanted, JobEnd* end);
    // Waits until the sink is ready for more, giving back the connection
    // meanwhile; false when stopped.
    bool WaitForRoom(JobSink* sink);
    bool StoppedLocked() const { return closing_ || stop_id_ >= current_id_; }

    const WorkerOptions options_;
    std::unique_ptr<ConnectionPool> own_pool_;  // without options_.pool
    ConnectionPool* const pool_;

    // The worker thread's own: the connection it holds, or null.
    ServerConnection* connection_ = nullptr;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Item>> queue_;
    vr_handle active_ = -1;   // the connection held, which Stop cancels
    uint64_t last_id_ = 0;
    uint64_t current_id_ = 0;  // the item the thread runs, 0 for none
    uint64_t stop_id_ = 0;     // items up to this one are stopped
    bool closing_ = false;
    bool finished_ = false;  // the thread has ended
    int cancels_ = 0;        // cancels in progress
    bool in_call_ = false;        // a library call runs as the current request
    uint64_t calls_ = 0;          // library calls begun, to tell one from the next
    bool cancelled_ = false;     // Stop cancelled it (the connection was rebuilt)
    bool request_done_ = false;   // an asynchronous render delivered its end
    std::atomic<bool> stopping_{false};  // the callback refuses every packet
    std::atomic<AnswerDecoder*> decoder_{nullptr};
    std::atomic<bool> sink_refused_{false};  // the callback refused because the sink did

    std::thread thread_;
    std::once_flag joined_;
};

}  // namespace frontend
}  // namespace vrelay

#endif
