// SPDX-License-Identifier: MIT
#include <windows.h>

#include <atomic>

#include "platform/thread.h"

#ifdef VRELAY_TEST_HOOKS
#include "platform/start_failures.h"
#endif

namespace vrelay {

namespace {

// What the new thread runs; owned by the thread once CreateThread succeeds.
struct Launch {
    std::function<void()> body;
    std::atomic<DWORD>* id;
};

DWORD WINAPI Trampoline(LPVOID parameter) {
    Launch* launch = static_cast<Launch*>(parameter);
    // Stored by the thread itself too, so IsCurrent() holds inside the body
    // even before CreateThread has returned the id to the starter.
    launch->id->store(::GetCurrentThreadId());
    launch->body();
    delete launch;
    return 0;
}

}  // namespace

struct Thread::Impl {
    HANDLE handle = nullptr;
    std::atomic<DWORD> id{0};  // 0 is never a thread id
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
    // A body that destroys its own Thread object cannot wait for itself; the
    // handle is let go and the thread finishes on its own.
    if (impl_->handle != nullptr && IsCurrent()) {
        ::CloseHandle(impl_->handle);
        return;
    }
    Join();
}

bool Thread::Start(std::function<void()> body) {
    if (impl_->handle != nullptr) {
        return false;
    }
#ifdef VRELAY_TEST_HOOKS
    if (ConsumeForcedStartFailure()) {
        return false;
    }
#endif
    auto* launch = new Launch{std::move(body), &impl_->id};
    DWORD id = 0;
    HANDLE handle = ::CreateThread(nullptr, 0, Trampoline, launch, 0, &id);
    if (handle == nullptr) {
        delete launch;
        return false;
    }
    impl_->id.store(id);
    impl_->handle = handle;
    return true;
}

bool Thread::IsRunning() const {
    DWORD code = 0;
    return impl_->handle != nullptr && ::GetExitCodeThread(impl_->handle, &code) &&
           code == STILL_ACTIVE;
}

bool Thread::Joinable() const {
    return impl_->handle != nullptr;
}

void Thread::Join() {
    if (impl_->handle != nullptr && !IsCurrent()) {
        ::WaitForSingleObject(impl_->handle, INFINITE);
        ::CloseHandle(impl_->handle);
        impl_->handle = nullptr;
        impl_->id.store(0);
    }
}

bool Thread::IsCurrent() const {
    return impl_->id.load() == ::GetCurrentThreadId();
}

}  // namespace vrelay
