// SPDX-License-Identifier: MIT
// A mutex, its scoped holder and a condition variable, annotated for clang's
// thread-safety analysis (-Wthread-safety): state marked GUARDED_BY(mutex) may
// only be touched with that mutex held, and the compiler checks it. Other
// compilers see plain std::mutex and std::condition_variable.
#ifndef VRELAY_PLATFORM_MUTEX_H
#define VRELAY_PLATFORM_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vrelay {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class CondVar;
    std::mutex mutex_;
};

// Holds a Mutex for its own lifetime, except between Unlock() and Lock(): a
// holder that calls out (a callback, a blocking read) lets go meanwhile.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
    ~MutexLock() RELEASE() {
        if (held_) {
            mutex_->Unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() {
        mutex_->Unlock();
        held_ = false;
    }
    void Lock() ACQUIRE() {
        mutex_->Lock();
        held_ = true;
    }

  private:
    Mutex* const mutex_;
    bool held_ = true;
};

// A condition variable; Wait needs the Mutex that guards the condition held.
class CondVar {
  public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // Releases mutex while it waits; holds it again on return. May wake
    // spuriously: callers wait in a loop on their condition.
    void Wait(Mutex* mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
        cond_.wait(lock);
        lock.release();
    }
    // As Wait, but gives up at deadline: false when it passed.
    bool WaitUntil(Mutex* mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
        const bool woken = cond_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void SignalAll() { cond_.notify_all(); }

  private:
    std::condition_variable cond_;
};

}  // namespace vrelay

#endif
