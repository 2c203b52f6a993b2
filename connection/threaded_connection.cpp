// SPDX-License-Identifier: MIT
#include "connection/threaded_connection.h"

namespace vrelay {

ThreadedConnection::~ThreadedConnection() {
    Request().Stop(StopReason::kDestroy);
    Request().JoinWorker();
}

RequestEnd ThreadedConnection::Render(const char* text, bool xml, bool final) {
    RequestScope request(Request());
    if (request.Refused() != StopReason::kNone) {
        return {request.Refused(), false};
    }
    ScopedLock lock(Lock());
    return {Submit(text ? text : "", xml, final), true};
}

RequestState::Launch ThreadedConnection::RenderAsync(const char* text, bool xml) {
    return Request().LaunchWorker(
        [this, copy = std::string(text ? text : ""), xml] { RunWorker(copy, xml); });
}

void ThreadedConnection::RunWorker(const std::string& text, bool xml) noexcept {
    RequestState& state = Request();
    try {
        // Taken before the turn begins, so that what waits behind a running
        // request (an open, a close) waits behind this one from the moment
        // the launch returns.
        ScopedLock lock(Lock());
        const StopReason refused = state.WorkerBegins();
        if (refused != StopReason::kDestroy) {
            if (refused == StopReason::kNone) {
                try {
                    Submit(text.c_str(), xml, true);
                } catch (...) {
                    state.Stop(StopReason::kAnswerFailed);  // out of memory
                }
            }
            DeliverCompletion();
            state.WorkerCompleted();
        }
    } catch (...) {
        // The lock could not be had: there is nothing to complete.
    }
    state.WorkerDone();
}

ThreadedConnection::CancelEnd ThreadedConnection::Cancel() {
    RequestScope turn(Request(), RequestScope::kCancel);
    if (turn.Refused() != StopReason::kNone) {
        return CancelEnd::kDestroyed;
    }
    ScopedLock lock(Lock());
    if (!IsConnected()) {
        return CancelEnd::kNotOpen;
    }
    // A stream the server reset cannot take PACKET_CLOSE: it is dropped and
    // opened again all the same, which is what a cancel is for.
    CloseStream();
    return Reconnect() ? CancelEnd::kReconnected : CancelEnd::kReconnectFailed;
}

void ThreadedConnection::Destroy() {
    // The running request stops first, so that the close below does not
    // wait for a server that may never answer.
    Request().Stop(StopReason::kDestroy);
    {
        ScopedLock lock(Lock());
        CloseStream();
    }
    // Joined on the caller's thread, so that the object is never freed by
    // its own worker.
    Request().JoinWorker();
}

bool ThreadedConnection::AfterFork() {
    if (!Lock().TryLock()) {
        return false;
    }
    const bool idle = Request().IdleInForkedChild();
    Lock().Unlock();
    return idle;
}

}  // namespace vrelay
