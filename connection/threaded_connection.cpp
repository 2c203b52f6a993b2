// SPDX-License-Identifier: MIT
#include "connection/threaded_connection.h"

namespace vrelay {

ThreadedConnection::~ThreadedConnection() {
    Shutdown();
}

void ThreadedConnection::Shutdown(StopReason why) {
    Request().Stop(why);
    Request().JoinWorker();
}

RequestEnd ThreadedConnection::Render(const char* text, bool xml, bool final) {
    // A launched asynchronous request runs, and its thread ends, before this
    // one starts.
    Request().JoinWorker();
    ScopedLock lock(Lock());
    RequestScope request(Request());
    if (request.Refused() != StopReason::kNone) {
        return {request.Refused(), false};
    }
    return {Submit(text ? text : "", xml, final), true};
}

RequestState::Launch ThreadedConnection::RenderAsync(const char* text, bool xml) {
    return Request().LaunchWorker(
        [this, copy = std::string(text ? text : ""), xml] { RunWorker(copy, xml); });
}

void ThreadedConnection::RunWorker(const std::string& text, bool xml) noexcept {
    RequestState& state = Request();
    try {
        ScopedLock lock(Lock());
        // The request stays open through the completion event, so that a
        // launch from another thread meanwhile gets kBusy.
        RequestScope request(state);
        if (request.Refused() != StopReason::kDestroy) {
            // Begun (or refused by a cancel): a cancel from now on is this
            // request's.
            state.TakenOver();
            if (request.Refused() == StopReason::kNone) {
                try {
                    Submit(text.c_str(), xml, true);
                } catch (...) {
                    state.Stop(StopReason::kAnswerFailed);  // out of memory
                }
            }
            FireEvent(PACKET_REQUEST_DONE);
            state.CompletionDelivered();
        }
    } catch (...) {
        // The lock could not be had: there is nothing to complete.
    }
    state.WorkerDone();
}

bool ThreadedConnection::UsableInForkedChild() {
    if (!Lock().TryLock()) {
        return false;
    }
    const bool idle = Request().IdleInForkedChild();
    Lock().Unlock();
    return idle;
}

}  // namespace vrelay
