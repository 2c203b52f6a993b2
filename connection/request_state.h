// SPDX-License-Identifier: MIT
// The one owner of a connection's request life: whether a request runs, on
// which thread, whether a worker thread exists and has finished, and whether
// the connection is being stopped (cancelled or destroyed). Every thread that
// starts, ends, waits for or stops a request goes through this object; its
// state is guarded by one mutex and waited on through one condition variable,
// so nothing here is polled.
//
// The connection's recursive lock (held by whoever runs a request) still
// serialises requests; this object only records what they are doing.
#ifndef VRELAY_CONNECTION_REQUEST_STATE_H
#define VRELAY_CONNECTION_REQUEST_STATE_H

#include <chrono>
#include <functional>
#include <memory>

#include "platform/mutex.h"
#include "platform/thread.h"

namespace vrelay {

class RequestState {
  public:
    // Why no new request may start.
    enum class Stop { kNone, kCancel, kDestroy };
    enum class Launch { kStarted, kBusy, kFailed };

    RequestState() = default;
    // Joins a worker that was started and not yet joined.
    ~RequestState();
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    // ---- Requests (the caller holds the connection lock) ----
    // Marks a request as running on this thread, unless the connection is
    // being stopped: then nothing changes and the reason is returned.
    Stop BeginRequest() EXCLUDES(mutex_);
    // Marks the request ended and wakes whoever waits for that.
    void EndRequest() EXCLUDES(mutex_);

    // ---- The asynchronous worker ----
    // Starts body on the worker thread. kBusy when the worker is inside its
    // request (its completion callback included), another launch is under way,
    // or the connection is being stopped; kFailed when no thread could be
    // made. A worker that has ended its request is joined first. On kStarted
    // returns only once the worker called TakenOver() (or gave up).
    Launch LaunchWorker(std::function<void()> body) EXCLUDES(mutex_);
    // Called on the worker once its request has cleared the quit flag, or
    // once it gave up: releases the launching thread.
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
    bool OnWorker() EXCLUDES(mutex_);
    // Waits until the worker's body has ended (or there is none), at most
    // until deadline; false when it has not ended by then.
    bool WaitForWorkerUntil(std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);

    // ---- Stopping ----
    // From now on BeginRequest refuses with why; a launch gets kBusy.
    void BeginStop(Stop why) EXCLUDES(mutex_);
    // Lets requests start again (a cancel that could not go through).
    void EndStop() EXCLUDES(mutex_);
    bool Stopping() EXCLUDES(mutex_);
    // Waits until no request runs.
    void WaitUntilNoRequest() EXCLUDES(mutex_);

    // ---- fork() ----
    // In the child process: true when no thread of the parent was inside
    // this object or a request, a launch or a stop at the fork. A worker
    // whose body had ended is forgotten, never joined: its thread was the
    // parent's.
    bool IdleInForkedChild() EXCLUDES(mutex_);

  private:
    bool WorkerBusy() const REQUIRES(mutex_);

    Mutex mutex_;
    CondVar changed_;
    bool in_request_ GUARDED_BY(mutex_) = false;
    bool request_on_worker_ GUARDED_BY(mutex_) = false;
    bool launching_ GUARDED_BY(mutex_) = false;
    bool taken_over_ GUARDED_BY(mutex_) = false;
    bool worker_done_ GUARDED_BY(mutex_) = false;
    bool completion_delivered_ GUARDED_BY(mutex_) = false;
    Stop stop_ GUARDED_BY(mutex_) = Stop::kNone;
    std::unique_ptr<Thread> worker_ GUARDED_BY(mutex_);
};

// Holds a request open for its own lifetime (BeginRequest .. EndRequest).
class RequestScope {
  public:
    explicit RequestScope(RequestState& state) : state_(state), stop_(state.BeginRequest()) {}
    ~RequestScope() {
        if (stop_ == RequestState::Stop::kNone) {
            state_.EndRequest();
        }
    }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // kNone when the request may run.
    RequestState::Stop Stopped() const { return stop_; }

  private:
    RequestState& state_;
    const RequestState::Stop stop_;
};

}  // namespace vrelay

#endif
