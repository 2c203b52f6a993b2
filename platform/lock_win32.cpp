// SPDX-License-Identifier: MIT
#include <windows.h>

#include <atomic>

#include "platform/lock.h"

namespace vrelay {

// A critical section is recursive already; the owner is tracked beside it
// because the section does not say who holds it.
struct RecursiveLock::Impl {
    CRITICAL_SECTION section;
    // Written only by the owning thread while it holds the section; atomic so
    // other threads may ask. 0 is never a thread id.
    std::atomic<DWORD> owner{0};
    int depth = 0;

    Impl() { ::InitializeCriticalSection(&section); }
    ~Impl() { ::DeleteCriticalSection(&section); }

    void Acquired() {
        if (depth++ == 0) {
            owner.store(::GetCurrentThreadId());
        }
    }
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;

void RecursiveLock::Lock() {
    ::EnterCriticalSection(&impl_->section);
    impl_->Acquired();
}

void RecursiveLock::Unlock() {
    if (--impl_->depth == 0) {
        impl_->owner.store(0);
    }
    ::LeaveCriticalSection(&impl_->section);
}

bool RecursiveLock::TryLock() {
    if (!::TryEnterCriticalSection(&impl_->section)) {
        return false;
    }
    impl_->Acquired();
    return true;
}

bool RecursiveLock::HeldByCurrentThread() const {
    return impl_->owner.load() == ::GetCurrentThreadId();
}

}  // namespace vrelay
