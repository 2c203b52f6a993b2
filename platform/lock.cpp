// SPDX-License-Identifier: MIT
#include "platform/lock.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace vrelay {

struct RecursiveLock::Impl {
    std::recursive_mutex mutex;
    // Owner and depth are written only by the owning thread while it holds
    // the mutex; the owner is atomic so other threads may ask about it.
    std::atomic<std::thread::id> owner{};
    int depth = 0;

    void Acquired() {
        if (depth++ == 0) {
            owner.store(std::this_thread::get_id());
        }
    }
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;

void RecursiveLock::Lock() {
    impl_->mutex.lock();
    impl_->Acquired();
}

void RecursiveLock::Unlock() {
    if (--impl_->depth == 0) {
        impl_->owner.store(std::thread::id());
    }
    impl_->mutex.unlock();
}

bool RecursiveLock::TryLock() {
    if (!impl_->mutex.try_lock()) {
        return false;
    }
    impl_->Acquired();
    return true;
}

bool RecursiveLock::HeldByCurrentThread() const {
    return impl_->owner.load() == std::this_thread::get_id();
}

}  // namespace vrelay
