// SPDX-License-Identifier: MIT
// The one owner of a connection's request life: whether a request runs, on
// which thread, whether a worker thread exists and has finished, why the
// running request stopped early (if it did), whether the connection is being
// stopped (cancelled or destroyed), the quit flag that tells the request's
// thread to stop, and which text stream the server has open. Every thread
// that starts, ends, stops or waits for a request goes through this object;
// its state is guarded by one mutex and waited on through one condition
// variable, so nothing here is polled.
//
// The connection's recursive lock (held by whoever runs a request) still
// serialises requests; this object only records what they are doing.
#ifndef VRELAY_CONNECTION_REQUEST_STATE_H
#define VRELAY_CONNECTION_REQUEST_STATE_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/mutex.h"
#include "platform/thread.h"

namespace vrelay {

class WakeSignal;

// Why a request ended early, or why none may start. The first three end the
// running request only; a cancel or a destroy also refuses every request
// that would begin after it.
enum class StopReason {
    kNone,
    kRefused,       // the application's callback refused a packet
    kSendFailed,    // a send failed, or there was no stream to send on
    kAnswerFailed,  // the answer could not be read to its end (receive error,
                    // time-out, bad frame, PACKET_CLOSE; also out of memory)
    kCancel,        // vrCancelRequest
    kDestroy,       // the connection is going away
};

// The text stream the server has open: PACKET_TEXT_CHUNKs sent and no
// PACKET_TEXT yet to end them.
enum class StreamMode { kNone = 0, kXml = 1, kPlain = 2 };

// How a request went: why it stopped (kNone: it ran to its end), and whether
// it ran at all (false: refused at its start by a cancel or destroy).
struct RequestEnd {
    StopReason stop;
    bool ran;
};

class RequestState {
  public:
    enum class Launch { kStarted, kBusy, kFailed };

    RequestState() = default;
    // Joins a worker that was started and not yet joined.
    ~RequestState();
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    // ---- Requests (the caller holds the connection lock) ----
    // Marks a request as running on this thread, clears the quit flag and
    // the last request's stop reason, unless the connection is being
    // stopped: then nothing changes and that reason is returned.
    StopReason BeginRequest() EXCLUDES(mutex_);
    // Marks the request ended and wakes whoever waits for that.
    void EndRequest() EXCLUDES(mutex_);

    // ---- Stopping ----
    // Stops the running request: records why (the first reason of a request
    // is the one it reports), raises the quit flag and wakes a receive or a
    // send waiting on the wake signal. kCancel and kDestroy also refuse the
    // requests that would begin after it, with the first of the two given.
    // Any thread.
    void Stop(StopReason why) EXCLUDES(mutex_);
    // Why the running (or last) request stopped; kNone while it runs on.
    StopReason Stopped() EXCLUDES(mutex_);
    // Set from a Stop until the next request begins; lock-free, for the
    // receive loop to look at on every turn.
    bool Quit() const { return quit_.load(std::memory_order_acquire); }
    // Lets requests start again after a cancel that could not go through:
    // no reason, no quit flag.
    void Resume() EXCLUDES(mutex_);
    // Whether a cancel or destroy refuses new requests.
    bool Stopping() EXCLUDES(mutex_);
    // Waits until no request runs.
    void WaitUntilNoRequest() EXCLUDES(mutex_);

    // The signal Stop raises, made on first use (it holds descriptors); null
    // when none can be had. Raised at once when the quit flag is already set.
    WakeSignal* Wake() EXCLUDES(mutex_);

    // ---- The server's text stream ----
    StreamMode Mode() EXCLUDES(mutex_);
    void SetMode(StreamMode mode) EXCLUDES(mutex_);

    // ---- The asynchronous worker ----
    // Starts body on the worker thread. kBusy when the worker is inside its
    // request (its completion callback included), another launch is under way,
    // or the connection is being stopped; kFailed when no thread could be
    // made. A worker that has ended its request is joined first. On kStarted
    // returns only once the worker called TakenOver() (or gave up).
    Launch LaunchWorker(std::function<void()> body) EXCLUDES(mutex_);
    // Called on the worker once its request has begun, or once it gave up:
    // releases the launching thread.
    void TakenOver() EXCLUDES(mutex_);
    // Called on the worker once its completion event has been delivered: a
    // launch from then on waits for the worker to end instead of being busy.
    void CompletionDelivered() EXCLUDES(mutex_);
    // The worker's last touch of the connection: after this, joining it
    // cannot wait for anything but the thread's exit.
    void WorkerDone() EXCLUDES(mutex_);
    // Waits for the worker's body to end and joins it; exactly one caller
    // joins, the others wait until the body has ended. No-op on the worker
    // itself and when there is none.
    void JoinWorker() EXCLUDES(mutex_);
    bool HasWorker() EXCLUDES(mutex_);
    // Waits until the worker's body has ended (or there is none), at most
    // until deadline; false when it has not ended by then.
    bool WaitForWorkerUntil(std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);

    // ---- fork() ----
    // In the child process: true when no thread of the parent was inside
    // this object or a request, a launch or a stop at the fork. A worker
    // whose body had ended is forgotten, never joined: its thread was the
    // parent's.
    bool IdleInForkedChild() EXCLUDES(mutex_);

  private:
    bool WorkerBusy() const REQUIRES(mutex_);
    // Sets the quit flag and the wake signal to match.
    void SetQuit(bool quit) REQUIRES(mutex_);

    Mutex mutex_;
    CondVar changed_;
    bool in_request_ GUARDED_BY(mutex_) = false;
    bool request_on_worker_ GUARDED_BY(mutex_) = false;
    bool launching_ GUARDED_BY(mutex_) = false;
    bool taken_over_ GUARDED_BY(mutex_) = false;
    bool worker_done_ GUARDED_BY(mutex_) = false;
    bool completion_delivered_ GUARDED_BY(mutex_) = false;
    StopReason stopped_ GUARDED_BY(mutex_) = StopReason::kNone;   // the request's
    StopReason stopping_ GUARDED_BY(mutex_) = StopReason::kNone;  // the connection's
    StreamMode mode_ GUARDED_BY(mutex_) = StreamMode::kNone;
    // Written under mutex_ only, read without it.
    std::atomic<bool> quit_{false};
    std::unique_ptr<WakeSignal> wake_ GUARDED_BY(mutex_);
    std::unique_ptr<Thread> worker_ GUARDED_BY(mutex_);
};

// Holds a request open for its own lifetime (BeginRequest .. EndRequest).
class RequestScope {
  public:
    explicit RequestScope(RequestState& state) : state_(state), refused_(state.BeginRequest()) {}
    ~RequestScope() {
        if (refused_ == StopReason::kNone) {
            state_.EndRequest();
        }
    }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // kNone when the request may run, else why it may not.
    StopReason Refused() const { return refused_; }

  private:
    RequestState& state_;
    const StopReason refused_;
};

}  // namespace vrelay

#endif
