// SPDX-License-Identifier: MIT
// Recursive lock and its scoped guard: our stand-in for a critical section.
#ifndef VRELAY_PLATFORM_LOCK_H
#define VRELAY_PLATFORM_LOCK_H

#include <memory>

#include "platform/mutex.h"

namespace vrelay {

// A mutex that its owning thread may take again; each Lock needs its Unlock.
// The thread-safety analysis sees it as a plain mutex: code that takes it
// again while holding it must do so where the analysis cannot see (a
// callback), which is the only way it happens.
class CAPABILITY("mutex") RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock() ACQUIRE();
    void Unlock() RELEASE();
    // Takes the lock if it is free or already ours; never waits.
    bool TryLock() TRY_ACQUIRE(true);
    // True when the calling thread holds the lock.
    bool HeldByCurrentThread() const;
    // Tells the analysis that the calling thread holds the lock, where it
    // cannot see that (code called back from a library).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds a RecursiveLock for the lifetime of the guard.
class SCOPED_CAPABILITY ScopedLock {
  public:
    explicit ScopedLock(RecursiveLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
    ~ScopedLock() RELEASE() { lock_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    RecursiveLock& lock_;
};

}  // namespace vrelay

#endif
