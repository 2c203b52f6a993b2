// SPDX-License-Identifier: MIT
#include "connection/request_state.h"

#include <utility>
#include <vector>

#include "transport/socket.h"

namespace vrelay {

RequestState::~RequestState() {
    JoinWorker();
}

bool RequestState::WorkerAlive() const {
    return phase_ == Phase::kLaunching || (worker_ && phase_ != Phase::kWorkerDone);
}

void RequestState::MoveTo(Phase next) {
    phase_ = next;
    changed_.SignalAll();
}

std::unique_ptr<Thread> RequestState::TakeTurn() {
    std::unique_ptr<Thread> ended;
    if (phase_ == Phase::kWorkerDone) {
        ended = std::move(worker_);
    }
    MoveTo(Phase::kRunning);
    return ended;
}

StopReason RequestState::Begin() {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        const uint64_t asked = cancels_;
        while (!destroyed_ && cancels_ == asked && (TurnTaken() || cancels_waiting_ > 0)) {
            changed_.Wait(&mutex_);
        }
        if (destroyed_) {
            return StopReason::kDestroy;
        }
        if (cancels_ != asked) {
            return StopReason::kCancel;
        }
        ended = TakeTurn();
        stopped_ = StopReason::kNone;
        SetQuit(false);
    }
    // Its body has ended: the join waits for nothing but the thread's exit.
    if (ended) {
        ended->Join();
    }
    return StopReason::kNone;
}

StopReason RequestState::BeginCancel() {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        ++cancels_waiting_;
        StopLocked(StopReason::kCancel);
        while (!destroyed_ && TurnTaken()) {
            changed_.Wait(&mutex_);
        }
        --cancels_waiting_;
        if (destroyed_) {
            changed_.SignalAll();
            return StopReason::kDestroy;
        }
        // The quit flag stays up through the cancel's turn: what it sends on
        // the stream it drops never waits for the server.
        ended = TakeTurn();
    }
    if (ended) {
        ended->Join();
    }
    return StopReason::kNone;
}

void RequestState::End() {
    MutexLock lock(&mutex_);
    MoveTo(Phase::kIdle);
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
// (or its wait is woken), and the turns waiting look at the refusals.
void RequestState::StopLocked(StopReason why) {
    if (stopped_ == StopReason::kNone) {
        stopped_ = why;
    }
    if (why == StopReason::kCancel) {
        ++cancels_;
    } else if (why == StopReason::kDestroy) {
        destroyed_ = true;
    }
    SetQuit(true);
    changed_.SignalAll();
}

void RequestState::Stop(StopReason why) {
    MutexLock lock(&mutex_);
    StopLocked(why);
}

StopReason RequestState::Stopped() {
    MutexLock lock(&mutex_);
    return stopped_;
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

RequestState::Launch RequestState::LaunchWorker(std::function<void()> body) {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        for (;;) {
            if (destroyed_ || cancels_waiting_ > 0 || phase_ == Phase::kLaunching ||
                (phase_ == Phase::kRunning && worker_)) {
                return Launch::kBusy;
            }
            if (phase_ != Phase::kRunning && phase_ != Phase::kCompleting) {
                break;
            }
            // A request on another thread, or a worker on its way out.
            changed_.Wait(&mutex_);
        }
        if (phase_ == Phase::kWorkerDone) {
            ended = std::move(worker_);
        }
        cancels_at_launch_ = cancels_;
        MoveTo(Phase::kLaunching);
    }
    if (ended) {
        ended->Join();
        ended.reset();
    }

    MutexLock lock(&mutex_);
    auto thread = std::make_unique<Thread>();
    // The body may run to its end before Start returns: it only ever waits
    // for this mutex, which the wait below releases.
    if (!thread->Start(std::move(body))) {
        MoveTo(Phase::kIdle);
        return Launch::kFailed;
    }
    worker_ = std::move(thread);
    while (phase_ == Phase::kLaunching) {
        changed_.Wait(&mutex_);
    }
    return Launch::kStarted;
}

StopReason RequestState::WorkerBegins() {
    MutexLock lock(&mutex_);
    const StopReason refused = destroyed_                       ? StopReason::kDestroy
                               : cancels_ != cancels_at_launch_ ? StopReason::kCancel
                                                                : StopReason::kNone;
    if (refused == StopReason::kNone) {
        stopped_ = StopReason::kNone;
        SetQuit(false);
    }
    MoveTo(Phase::kRunning);
    return refused;
}

void RequestState::WorkerCompleted() {
    MutexLock lock(&mutex_);
    MoveTo(Phase::kCompleting);
}

void RequestState::WorkerDone() {
    MutexLock lock(&mutex_);
    MoveTo(Phase::kWorkerDone);
}

void RequestState::JoinWorker() {
    std::unique_ptr<Thread> ended;
    {
        MutexLock lock(&mutex_);
        if (worker_ && worker_->IsCurrent()) {
            return;
        }
        while (WorkerAlive()) {
            changed_.Wait(&mutex_);
        }
        if (phase_ == Phase::kWorkerDone) {
            ended = std::move(worker_);
            MoveTo(Phase::kIdle);
        }
    }
    if (ended) {
        ended->Join();
    }
}

bool RequestState::WaitForWorkerUntil(std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(&mutex_);
    while (WorkerAlive()) {
        if (!changed_.WaitUntil(&mutex_, deadline) && WorkerAlive()) {
            return false;
        }
    }
    return true;
}

bool RequestState::IdleInForkedChild() {
    if (!mutex_.TryLock()) {
        return false;  // held by a thread the child does not have
    }
    const bool idle = !destroyed_ && cancels_waiting_ == 0 &&
                      (phase_ == Phase::kIdle || phase_ == Phase::kWorkerDone);
    if (idle && worker_) {
        // Joining or detaching it here would touch thread memory the child
        // has already taken back: the object is kept, reachable, for good.
        static auto* forgotten = new std::vector<std::unique_ptr<Thread>>();
        try {
            forgotten->push_back(std::move(worker_));
        } catch (...) {
            (void)worker_.release();
        }
        MoveTo(Phase::kIdle);
    }
    mutex_.Unlock();
    return idle;
}

}  // namespace vrelay
