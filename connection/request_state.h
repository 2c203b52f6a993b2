// SPDX-License-Identifier: MIT
// The one owner of a connection's request life. Requests take turns: one at
// a time runs, on the thread that asked for it or on the connection's worker
// thread, and a request waits for its turn before it takes the connection's
// lock, which it then holds until it ends. The phase says where the
// connection is in that life; beside it are why the running request stopped
// early (if it did), the quit flag that tells its thread to stop, whether
// the connection is destroyed, and which text stream the server has open.
// Every thread that starts, ends, stops or waits for a request goes through
// this object; its state is guarded by one mutex and waited on through one
// condition variable, so nothing here is polled.
#ifndef VRELAY_CONNECTION_REQUEST_STATE_H
#define VRELAY_CONNECTION_REQUEST_STATE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/mutex.h"
#include "platform/thread.h"

namespace vrelay {

class WakeSignal;

// Why a request ended early, or why one may not start. The first three end
// the running request only. A cancel also refuses the requests waiting for
// their turn when it comes; a destroy refuses every request from then on.
enum class StopReason {
    kNone,
    kRefused,       // the application's callback refused a packet
    kSendFailed,    // a send failed, or there was no stream to send on
    kAnswerFailed,  // the answer could not be read to its end (receive error,
                    // time-out, bad frame, PACKET_CLOSE; also out of memory)
    kCancel,        // a cancel
    kDestroy,       // the connection is going away
};

// The text stream the server has open: PACKET_TEXT_CHUNKs sent and no
// PACKET_TEXT yet to end them.
enum class StreamMode { kNone = 0, kXml = 1, kPlain = 2 };

// How a request went: why it stopped (kNone: it ran to its end), and whether
// it ran at all (false: refused before its turn by a cancel or destroy).
struct RequestEnd {
    StopReason stop;
    bool ran;
};

class RequestState {
  public:
    enum class Phase {
        kIdle,        // no request runs, no worker thread is alive
        kLaunching,   // a worker thread is being started for a request
        kRunning,     // a request runs: on the worker while there is one (its
                      // completion event included), else on a caller's thread
        kCompleting,  // the worker has delivered its completion and is ending
        kWorkerDone,  // the worker has ended; its thread is still to be joined
    };
    enum class Launch { kStarted, kBusy, kFailed };

    RequestState() = default;
    // Joins a worker that was started and not yet joined.
    ~RequestState();
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    // ---- Turns on the caller's thread (before it takes the connection lock) ----
    // Waits until no request runs or is launched (joining a worker that has
    // ended), then begins a request on this thread: no stop reason, no quit
    // flag. Refused, with nothing changed, when the connection is destroyed
    // or a cancel came while it waited (that reason is returned).
    StopReason Begin() EXCLUDES(mutex_);
    // Stops the running request as cancelled and refuses those waiting for
    // their turn; then waits for the running request (and a worker's) to end
    // and takes the next turn, before any request that asks after it.
    // kDestroy when the connection is destroyed meanwhile.
    StopReason BeginCancel() EXCLUDES(mutex_);
    // Ends the turn of Begin or BeginCancel.
    void End() EXCLUDES(mutex_);

    // ---- Stopping ----
    // Stops the running request: records why (the first reason of a request
    // is the one it reports), raises the quit flag and wakes a receive or a
    // send waiting on the wake signal. kCancel also refuses the requests
    // waiting for their turn; kDestroy refuses every request from now on.
    // Any thread.
    void Stop(StopReason why) EXCLUDES(mutex_);
    // Why the running (or last) request stopped; kNone while it runs on.
    StopReason Stopped() EXCLUDES(mutex_);
    // Set from a Stop until the next turn begins; lock-free, for the receive
    // loop to look at on every turn.
    bool Quit() const { return quit_.load(std::memory_order_acquire); }

    // The signal Stop raises, made on first use (it holds descriptors); null
    // when none can be had. Raised at once when the quit flag is already set.
    WakeSignal* Wake() EXCLUDES(mutex_);

    // ---- The server's text stream ----
    StreamMode Mode() EXCLUDES(mutex_);
    void SetMode(StreamMode mode) EXCLUDES(mutex_);

    // ---- The asynchronous worker ----
    // Starts body on the worker thread, which takes the next turn. kBusy
    // while the worker's request runs (its completion event included),
    // another launch is under way, a cancel waits for its turn, or the
    // connection is destroyed; kFailed when no thread could be made. Waits
    // for a request running on another thread, and for a worker that has
    // delivered its completion to end (then joins it). On kStarted returns
    // only once the worker has begun its turn (WorkerBegins) or gave up.
    Launch LaunchWorker(std::function<void()> body) EXCLUDES(mutex_);
    // On the worker, holding the connection lock: its turn begins. Returns
    // why its request may not run: kDestroy (then it ends without a
    // completion) or kCancel (a cancel came after the launch).
    StopReason WorkerBegins() EXCLUDES(mutex_);
    // On the worker, once its completion event has been delivered: a launch
    // from then on waits for the worker to end instead of being busy.
    void WorkerCompleted() EXCLUDES(mutex_);
    // The worker's last touch of the connection: after this, joining it
    // cannot wait for anything but the thread's exit.
    void WorkerDone() EXCLUDES(mutex_);
    // Waits for the worker's body to end and joins it; exactly one caller
    // joins, the others wait until the body has ended. No-op on the worker
    // itself and when there is none.
    void JoinWorker() EXCLUDES(mutex_);
    // Waits until the worker's body has ended (or there is none), at most
    // until deadline; false when it has not ended by then.
    bool WaitForWorkerUntil(std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);

    // ---- fork() ----
    // In the child process: true when no thread of the parent was inside
    // this object or a turn, a launch or a cancel at the fork. A worker
    // whose body had ended is forgotten, never joined: its thread was the
    // parent's.
    bool IdleInForkedChild() EXCLUDES(mutex_);

  private:
    // The worker's thread is alive: launched and not yet at its end.
    bool WorkerAlive() const REQUIRES(mutex_);
    // Someone has the turn, or is being given it.
    bool TurnTaken() const REQUIRES(mutex_) {
        return phase_ == Phase::kLaunching || phase_ == Phase::kRunning ||
               phase_ == Phase::kCompleting;
    }
    // The phase moves to next; everyone waiting looks again.
    void MoveTo(Phase next) REQUIRES(mutex_);
    // The turn begins on this thread: an ended worker is handed out (to be
    // joined outside the mutex), the last request's stop forgotten.
    std::unique_ptr<Thread> TakeTurn() REQUIRES(mutex_);
    void StopLocked(StopReason why) REQUIRES(mutex_);
    // Sets the quit flag and the wake signal to match.
    void SetQuit(bool quit) REQUIRES(mutex_);

    Mutex mutex_;
    CondVar changed_;
    Phase phase_ GUARDED_BY(mutex_) = Phase::kIdle;
    StopReason stopped_ GUARDED_BY(mutex_) = StopReason::kNone;  // the request's
    bool destroyed_ GUARDED_BY(mutex_) = false;
    // Cancels so far, and those still waiting for their turn: a request that
    // waited while the count grew is refused, one that asks while a cancel
    // waits goes after it.
    uint64_t cancels_ GUARDED_BY(mutex_) = 0;
    int cancels_waiting_ GUARDED_BY(mutex_) = 0;
    uint64_t cancels_at_launch_ GUARDED_BY(mutex_) = 0;
    StreamMode mode_ GUARDED_BY(mutex_) = StreamMode::kNone;
    // Written under mutex_ only, read without it.
    std::atomic<bool> quit_{false};
    std::unique_ptr<WakeSignal> wake_ GUARDED_BY(mutex_);
    std::unique_ptr<Thread> worker_ GUARDED_BY(mutex_);
};

// Holds a turn for its own lifetime: a request's (Begin) or a cancel's
// (BeginCancel), ended unless refused.
class RequestScope {
  public:
    enum Kind { kRequest, kCancel };
    explicit RequestScope(RequestState& state, Kind kind = kRequest)
        : state_(state), refused_(kind == kCancel ? state.BeginCancel() : state.Begin()) {}
    ~RequestScope() {
        if (refused_ == StopReason::kNone) {
            state_.End();
        }
    }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // kNone when the turn was given, else why it was refused.
    StopReason Refused() const { return refused_; }

  private:
    RequestState& state_;
    const StopReason refused_;
};

}  // namespace vrelay

#endif
