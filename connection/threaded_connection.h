// SPDX-License-Identifier: MIT
// The connection object every handle owns: a Connection plus the lock that
// serialises requests on it and the RequestState that records who runs a
// request, owns the asynchronous worker thread and knows when the connection
// is being stopped.
#ifndef VRELAY_CONNECTION_THREADED_CONNECTION_H
#define VRELAY_CONNECTION_THREADED_CONNECTION_H

#include "connection/connection.h"
#include "connection/request_state.h"
#include "platform/lock.h"

namespace vrelay {

class ThreadedConnection : public Connection {
  public:
    ThreadedConnection();
    // A fresh, unconnected connection that takes over other's callbacks, user
    // data, host, port, stream mode and prosody (used to replace a cancelled
    // one).
    explicit ThreadedConnection(ThreadedConnection* other);
    // Sets the quit flag and joins a worker that was started. Must not run on
    // the worker thread.
    ~ThreadedConnection() override;

    // Held by whoever runs a request, for the whole request (the callback
    // runs under it). Recursive for its owner, so a thread holding it is
    // inside a request on this connection: exported calls use that to refuse
    // requests from inside a callback.
    RecursiveLock& Lock() { return m_lock; }
    RequestState& State() { return m_state; }

    // Stops a running request and joins the worker: the quit flag, then the
    // join.
    void Shutdown();

    // In the child process after fork(): true when no other thread of the
    // parent held the lock or was inside the request state at the fork, so
    // that this copy can be used (see RequestState::IdleInForkedChild).
    bool UsableInForkedChild();

  private:
    RecursiveLock m_lock;
    RequestState m_state;
};

}  // namespace vrelay

#endif
