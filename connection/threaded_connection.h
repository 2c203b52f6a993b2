// The connection object every handle owns: a Connection plus the lock that
// serialises requests on it and the flags through which an application thread
// and the connection's worker thread hand a request over.
#ifndef VRELAY_CONNECTION_THREADED_CONNECTION_H
#define VRELAY_CONNECTION_THREADED_CONNECTION_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "connection/connection.h"
#include "platform/lock.h"
#include "platform/thread.h"

namespace vrelay {

class ThreadedConnection : public Connection {
  public:
    ThreadedConnection();
    // A fresh, unconnected connection that takes over other's callbacks, user
    // data, host, port and stream mode (used to replace a cancelled one).
    explicit ThreadedConnection(ThreadedConnection* other);
    // Sets the quit flag, waits for a running worker to end and joins it.
    // Must not run on the worker thread.
    ~ThreadedConnection() override;

    RecursiveLock& Lock() { return m_lock; }
    Thread& Worker() { return m_worker; }

    std::atomic<bool> m_inRequest{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_workerRunning{false};
    // Set while the worker delivers PACKET_REQUEST_DONE, its request done.
    std::atomic<bool> m_completing{false};

    // Waits for the worker thread (if one was started) to end, joins it and
    // clears the worker-running flag. Does nothing on the worker itself.
    void JoinWorker();
    // Stops a running request and joins the worker: the quit flag, then
    // JoinWorker.
    void Shutdown();

    // The hand-over between an asynchronous launch and its worker: the
    // launcher clears the started flag, starts the worker and waits until
    // the worker's request step has taken the request over (or given up).
    void ClearStarted();
    void MarkStarted();
    void WaitStarted();
    // Serialises asynchronous launches on this connection.
    std::mutex& LaunchMutex() { return m_launchMutex; }

  private:
    RecursiveLock m_lock;
    std::mutex m_startMutex;
    std::condition_variable m_startChanged;
    std::mutex m_launchMutex;
    Thread m_worker;
};

}  // namespace vrelay

#endif
