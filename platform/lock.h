// SPDX-License-Identifier: MIT
// Recursive lock and its scoped guard: our stand-in for a critical section.
#ifndef VRELAY_PLATFORM_LOCK_H
#define VRELAY_PLATFORM_LOCK_H

#include <memory>

namespace vrelay {

// A mutex that its owning thread may take again; each Lock needs its Unlock.
class RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock();
    void Unlock();
    // Takes the lock if it is free or already ours; never waits.
    bool TryLock();
    // True when the calling thread holds the lock.
    bool HeldByCurrentThread() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds a RecursiveLock for the lifetime of the guard.
class ScopedLock {
  public:
    explicit ScopedLock(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
    ~ScopedLock() { lock_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    RecursiveLock& lock_;
};

}  // namespace vrelay

#endif
