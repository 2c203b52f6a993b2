// SPDX-License-Identifier: MIT
#include "platform/thread.h"

#include <atomic>
#include <system_error>
#include <thread>

#ifdef VRELAY_TEST_HOOKS
#include "platform/start_failures.h"
#endif

namespace vrelay {

namespace {
// Shared between the object and its body, so neither outlives the other's use.
struct State {
    std::atomic<bool> running{false};
    // Set by the body itself before it runs, so IsCurrent() holds inside the
    // body even before Start has stored the std::thread.
    std::atomic<std::thread::id> id{};
};
}  // namespace

struct Thread::Impl {
    std::thread thread;
    std::shared_ptr<State> state = std::make_shared<State>();
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
    // A body that destroys its own Thread object cannot join itself; let it
    // finish on its own.
    if (impl_->thread.joinable() && IsCurrent()) {
        impl_->thread.detach();
        return;
    }
    Join();
}

bool Thread::Start(std::function<void()> body) {
    if (impl_->thread.joinable()) {
        return false;
    }
#ifdef VRELAY_TEST_HOOKS
    if (ConsumeForcedStartFailure()) {
        return false;
    }
#endif
    // One State per object: the previous body (if any) has been joined.
    std::shared_ptr<State> state = impl_->state;
    state->running.store(true);
    try {
        impl_->thread = std::thread([state, body = std::move(body)]() {
            state->id.store(std::this_thread::get_id());
            // The flag must drop even if body throws (std::terminate follows
            // anyway, but a watcher should not spin meanwhile).
            struct Clear {
                std::atomic<bool>& flag;
                ~Clear() { flag.store(false); }
            } clear{state->running};
            body();
        });
    } catch (const std::system_error&) {
        state->running.store(false);
        return false;
    }
    return true;
}

bool Thread::IsRunning() const {
    return impl_->state->running.load();
}

bool Thread::Joinable() const {
    return impl_->thread.joinable();
}

void Thread::Join() {
    if (impl_->thread.joinable() && !IsCurrent()) {
        impl_->thread.join();
        impl_->state->id.store(std::thread::id());
    }
}

bool Thread::IsCurrent() const {
    return impl_->state->id.load() == std::this_thread::get_id();
}

}  // namespace vrelay
