// SPDX-License-Identifier: MIT
// The connection object every handle owns: a Connection that runs requests
// for the exported calls, synchronous ones on the caller's thread and
// asynchronous ones on its worker thread, and that can be stopped for good.
#ifndef VRELAY_CONNECTION_THREADED_CONNECTION_H
#define VRELAY_CONNECTION_THREADED_CONNECTION_H

#include <string>

#include "connection/connection.h"

namespace vrelay {

class ThreadedConnection : public Connection {
  public:
    ThreadedConnection() = default;
    // A fresh, unconnected connection that takes over other's callbacks, user
    // data, host, port and prosody (to replace a cancelled one).
    explicit ThreadedConnection(ThreadedConnection& other) REQUIRES(other.Lock())
        : Connection(other) {}
    // Stops a running request and joins a worker that was started. Must not
    // run on the worker thread.
    ~ThreadedConnection() override;

    // A request of text on this thread: waits for a launched asynchronous
    // render to end (its request, then its thread), then runs Submit with
    // the lock held.
    RequestEnd Render(const char* text, bool xml, bool final) EXCLUDES(Lock());
    // A final request of (a copy of) text on the worker thread, which then
    // delivers exactly one PACKET_REQUEST_DONE, however the request went,
    // unless the connection was destroyed before it began. Returns once the
    // worker has begun the request (see RequestState::LaunchWorker).
    RequestState::Launch RenderAsync(const char* text, bool xml);

    // Stops a running request (keeping the reason of a stop under way, else
    // for why) and joins the worker.
    void Shutdown(StopReason why = StopReason::kDestroy);

    // In the child process after fork(): true when no other thread of the
    // parent held the lock or was inside the request state at the fork, so
    // that this copy can be used (see RequestState::IdleInForkedChild).
    bool UsableInForkedChild();

  private:
    // The worker's body: the request, then its completion event.
    void RunWorker(const std::string& text, bool xml) noexcept;
};

}  // namespace vrelay

#endif
