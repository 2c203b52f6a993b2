// SPDX-License-Identifier: MIT
// The connection object behind every handle: a Connection that runs requests
// for the exported calls, synchronous ones on the caller's thread and
// asynchronous ones on its worker thread, and that owns the rest of their
// life: cancelling them, destroying the connection, and what a forked child
// may still use.
#ifndef VRELAY_CONNECTION_THREADED_CONNECTION_H
#define VRELAY_CONNECTION_THREADED_CONNECTION_H

#include <chrono>
#include <string>

#include "connection/connection.h"

namespace vrelay {

class ThreadedConnection : public Connection {
  public:
    explicit ThreadedConnection(PacketSink& application) : Connection(application) {}
    // Stops a running request and joins a worker that was started. Must not
    // run on the worker thread.
    ~ThreadedConnection() override;

    // A request of text on this thread: waits for its turn (a launched
    // asynchronous render runs, and its thread ends, before it), then runs
    // Submit with the lock held.
    RequestEnd Render(const char* text, bool xml, bool final) EXCLUDES(Lock());
    // A final request of (a copy of) text on the worker thread, which then
    // delivers exactly one completion event, however the request went,
    // unless the connection was destroyed before it began. Returns once the
    // worker has begun its turn (see RequestState::LaunchWorker).
    RequestState::Launch RenderAsync(const char* text, bool xml);

    enum class CancelEnd {
        kReconnected,      // the stream was dropped and opened again
        kNotOpen,          // there was no stream: nothing else changed
        kReconnectFailed,  // the stream was dropped; opening it again failed
        kDestroyed,        // the connection was destroyed meanwhile
    };
    // Stops the running request as cancelled (also one waiting for the
    // server to take what it sends) and refuses the requests waiting for
    // their turn; waits for them to end, an asynchronous one's completion
    // delivered. Then drops the stream, so that nothing more of their
    // answers is read, and opens it again to the same address; requests
    // that ask meanwhile run after that.
    CancelEnd Cancel() EXCLUDES(Lock());
    // Stops the running request and refuses every later one, sends
    // PACKET_CLOSE and drops the stream, and joins the worker. Must not run
    // on the worker thread.
    void Destroy() EXCLUDES(Lock());
    // The process's exit, in two steps so that every connection is stopped
    // before any is waited for. StopForExit stops the running request and
    // refuses every later one, without waiting; WorkerEndedBy then waits for
    // an asynchronous render's worker to end, at most until deadline, and is
    // false if it has not (the object must then never be freed).
    void StopForExit() { Request().Stop(StopReason::kDestroy); }
    bool WorkerEndedBy(std::chrono::steady_clock::time_point deadline) {
        return Request().WaitForWorkerUntil(deadline);
    }
    // In the child process after fork(): true when no other thread of the
    // parent held the lock or was inside the request state at the fork, so
    // that this copy can be used (see RequestState::IdleInForkedChild).
    bool AfterFork();

  private:
    // The worker's body: the request, then its completion event.
    void RunWorker(const std::string& text, bool xml) noexcept;
};

}  // namespace vrelay

#endif
