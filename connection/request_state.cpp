// SPDX-License-Identifier: MIT
#include "connection/request_state.h"

#include <utility>
#include <vector>

#include "transport/socket.h"

namespace vrelay {

RequestState::~RequestState() {
    JoinWorker();
}

StopReason RequestState::BeginRequest() {
    MutexLock lock(&mutex_);
    if (stopping_ != StopReason::kNone) {
        return stopping_;
    }
    in_request_ = true;
    request_on_worker_ = worker_ && worker_->IsCurrent();
    stopped_ = StopReason::kNone;
    SetQuit(false);
    return StopReason::kNone;
}

void RequestState::EndRequest() {
    MutexLock lock(&mutex_);
    in_request_ = false;
    request_on_worker_ = false;
    changed_.SignalAll();
}

void RequestState::SetQuit(bool quit) {
    quit_.store(quit, std::memory_order_release);
    if (wake_) {
        if (quit) {
            wake_->Raise();
        } else {
            wake_->Clear();
        }
    }
}

// Nobody waits for a stop itself: the request's thread sees the quit flag
// (or its wait is woken), and the reasons are read when it ends and when a
// request or a launch begins.
void RequestState::Stop(StopReason why) {
    MutexLock lock(&mutex_);
    if (stopped_ == StopReason::kNone) {
        stopped_ = why;
    }
    if (stopping_ == StopReason::kNone &&
        (why == StopReason::kCancel || why == StopReason::kDestroy)) {
        stopping_ = why;
    }
    SetQuit(true);
}

StopReason RequestState::Stopped() {
    MutexLock lock(&mutex_);
    return stopped_;
}

void RequestState::Resume() {
    MutexLock lock(&mutex_);
    stopping_ = StopReason::kNone;
    stopped_ = StopReason::kNone;
    SetQuit(false);
}

bool RequestState::Stopping() {
    MutexLock lock(&mutex_);
    return stopping_ != StopReason::kNone;
}

WakeSignal* RequestState::Wake() {
    MutexLock lock(&mutex_);
    if (!wake_) {
        auto wake = std::make_unique<WakeSignal>();
        if (!wake->Valid()) {
            return nullptr;
        }
        wake_ = std::move(wake);
        SetQuit(quit_.load());
    }
    return wake_.get();
}

StreamMode RequestState::Mode() {
    MutexLock lock(&mutex_);
    return mode_;
}

void RequestState::SetMode(StreamMode mode) {
    MutexLock lock(&mutex_);
    mode_ = mode;
}

bool RequestState::WorkerBusy() const {
    return launching_ || (in_request_ && request_on_worker_ && !completion_delivered_) ||
           stopping_ != StopReason::kNone;
}

RequestState::Launch RequestState::LaunchWorker(std::function<void()> body) {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        if (WorkerBusy()) {
            return Launch::kBusy;
        }
        launching_ = true;
        // A previous worker has ended its request; wait for its body to end.
        while (worker_ && !worker_done_) {
            changed_.Wait(&mutex_);
        }
        ended = std::move(worker_);
    }
    if (ended) {
        ended->Join();
        ended.reset();
    }

    MutexLock lock(&mutex_);
    taken_over_ = false;
    worker_done_ = false;
    completion_delivered_ = false;
    auto thread = std::make_unique<Thread>();
    // The body may run to its end before Start returns: it only ever waits
    // for this mutex, which the wait below releases.
    if (!thread->Start(std::move(body))) {
        launching_ = false;
        changed_.SignalAll();
        return Launch::kFailed;
    }
    worker_ = std::move(thread);
    while (!taken_over_) {
        changed_.Wait(&mutex_);
    }
    launching_ = false;
    changed_.SignalAll();
    return Launch::kStarted;
}

void RequestState::TakenOver() {
    MutexLock lock(&mutex_);
    taken_over_ = true;
    changed_.SignalAll();
}

void RequestState::CompletionDelivered() {
    MutexLock lock(&mutex_);
    completion_delivered_ = true;
}

void RequestState::WorkerDone() {
    MutexLock lock(&mutex_);
    taken_over_ = true;
    worker_done_ = true;
    changed_.SignalAll();
}

void RequestState::JoinWorker() {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        if (!worker_ || worker_->IsCurrent()) {
            return;
        }
        while (worker_ && !worker_done_) {
            changed_.Wait(&mutex_);
        }
        ended = std::move(worker_);
    }
    if (ended) {
        ended->Join();
    }
}

bool RequestState::HasWorker() {
    MutexLock lock(&mutex_);
    return worker_ != nullptr;
}

bool RequestState::WaitForWorkerUntil(std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(&mutex_);
    while (worker_ && !worker_done_) {
        if (!changed_.WaitUntil(&mutex_, deadline) && !worker_done_) {
            return false;
        }
    }
    return true;
}

void RequestState::WaitUntilNoRequest() {
    MutexLock lock(&mutex_);
    while (in_request_) {
        changed_.Wait(&mutex_);
    }
}

bool RequestState::IdleInForkedChild() {
    if (!mutex_.TryLock()) {
        return false;  // held by a thread the child does not have
    }
    const bool idle =
        stopping_ == StopReason::kNone && !in_request_ && !launching_ && (!worker_ || worker_done_);
    if (idle && worker_) {
        // Joining or detaching it here would touch thread memory the child
        // has already taken back: the object is kept, reachable, for good.
        static auto* forgotten = new std::vector<std::unique_ptr<Thread>>();
        try {
            forgotten->push_back(std::move(worker_));
        } catch (...) {
            (void)worker_.release();
        }
    }
    mutex_.Unlock();
    return idle;
}

}  // namespace vrelay
