// SPDX-License-Identifier: MIT
// Worker threads: start, ask whether still running, join. Our stand-in for
// thread handles and their exit codes.
#ifndef VRELAY_PLATFORM_THREAD_H
#define VRELAY_PLATFORM_THREAD_H

#include <functional>
#include <memory>

namespace vrelay {

class Thread {
  public:
    Thread();
    ~Thread();  // joins a thread that was started and not yet joined
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts body on a new thread. False when the thread could not be created
    // (resources exhausted), or when a started thread has not been joined yet.
    bool Start(std::function<void()> body);
    // True from a successful Start until body has returned.
    bool IsRunning() const;
    // True between a successful Start and Join.
    bool Joinable() const;
    // Waits for body to return and releases the thread. No-op if not started.
    // Must not be called from the thread itself.
    void Join();
    // True when called on the thread this object started.
    bool IsCurrent() const;

#ifdef VRELAY_TEST_HOOKS
    // Makes the next n calls of Start in this process fail, as when the
    // system cannot create more threads.
    static void FailNextStarts(int n);
#endif

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vrelay

#endif
