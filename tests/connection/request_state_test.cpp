// SPDX-License-Identifier: MIT
// The request owner's transitions, driven directly: what a request reports
// after stops, whether the quit flag and the wake signal are up, what the next
// request meets, and when a worker may be launched.
#include "connection/request_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "transport/socket.h"

namespace vrelay {
namespace {

using R = StopReason;

struct Step {
    enum Op { kBegin, kEnd, kStop, kCancelTurn } op;
    StopReason why = R::kNone;
};
const Step kBegin{Step::kBegin};
const Step kEnd{Step::kEnd};
const Step kCancelTurn{Step::kCancelTurn};
Step Stop(StopReason why) {
    return {Step::kStop, why};
}

// stopped: what the last request reports
// quit: the quit flag, and the wake signal with it
// refusal: what a request asking now meets
struct Row { const char* name; std::vector<Step> steps; StopReason stopped; bool quit;
    StopReason refusal; };

// clang-format off
const Row kRows[] = {
    {"a request runs to its end", {kBegin, kEnd}, R::kNone, false, R::kNone},
    {"a failure stops its own request only", {kBegin, Stop(R::kAnswerFailed), kEnd},
     R::kAnswerFailed, true, R::kNone},
    {"the first reason is the request's",
     {kBegin, Stop(R::kRefused), Stop(R::kSendFailed), Stop(R::kCancel)},
     R::kRefused, true, R::kNone},
    {"a cancel stops the request; one asking after it runs", {kBegin, Stop(R::kCancel), kEnd},
     R::kCancel, true, R::kNone},
    {"a destroy refuses every request after it", {Stop(R::kCancel), Stop(R::kDestroy)},
     R::kCancel, true, R::kDestroy},
    {"a refused request changes nothing", {Stop(R::kDestroy), kBegin},
     R::kDestroy, true, R::kDestroy},
    {"the next request starts clean", {kBegin, Stop(R::kRefused), kEnd, kBegin},
     R::kNone, false, R::kNone},
    {"a cancel's turn keeps the quit flag up", {kBegin, kEnd, kCancelTurn},
     R::kCancel, true, R::kNone},
};
// clang-format on

// Each row runs twice: with the wake signal made before the steps (a stop
// raises it) and after them (it is made raised). A turn still held at the
// end is ended before the next request asks.
TEST(RequestStateTest, RequestsReportTheirFirstStopAndOnlyADestroyRefusesLaterOnes) {
    for (const Row& row : kRows) {
        for (bool wakeFirst : {true, false}) {
            SCOPED_TRACE(std::string(row.name) +
                         (wakeFirst ? ", wake made first" : ", wake made last"));
            RequestState state;
            WakeSignal* wake = wakeFirst ? state.Wake() : nullptr;
            bool held = false;
            for (const Step& step : row.steps) {
                switch (step.op) {
                    case Step::kBegin:
                        held = state.Begin() == R::kNone;
                        break;
                    case Step::kCancelTurn:
                        held = state.BeginCancel() == R::kNone;
                        break;
                    case Step::kEnd:
                        state.End();
                        held = false;
                        break;
                    case Step::kStop:
                        state.Stop(step.why);
                        break;
                }
            }
            wake = wake ? wake : state.Wake();
            ASSERT_NE(wake, nullptr);
            EXPECT_EQ(state.Stopped(), row.stopped);
            EXPECT_EQ(state.Quit(), row.quit);
            EXPECT_EQ(wake->IsRaised(), row.quit);
            if (held)
                state.End();
            RequestScope next(state);
            EXPECT_EQ(next.Refused(), row.refusal);
        }
    }
}

// A launch is refused while the worker's request runs and once the
// connection is destroyed; once the worker has delivered its completion, a
// launch waits for its end; one after the worker's end joins it first. (A
// launch without a thread is RenderingTest's failed launch.)
TEST(RequestStateTest, LaunchesAreRefusedWhileTheWorkersRequestRunsOrTheConnectionIsDestroyed) {
    RequestState state;
    std::promise<void> release;
    auto worker = [&state](std::shared_future<void> until) {
        return [&state, until] {
            state.WorkerBegins();
            until.wait();
            state.WorkerCompleted();
            state.WorkerDone();
        };
    };
    std::shared_future<void> released = release.get_future().share();
    EXPECT_EQ(state.LaunchWorker(worker(released)), RequestState::Launch::kStarted);
    EXPECT_EQ(state.LaunchWorker(worker(released)), RequestState::Launch::kBusy);
    release.set_value();
    ASSERT_TRUE(
        state.WaitForWorkerUntil(std::chrono::steady_clock::now() + std::chrono::minutes(1)));
    EXPECT_EQ(state.LaunchWorker(worker(released)), RequestState::Launch::kStarted);
    state.JoinWorker();

    std::promise<void> completed;
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    EXPECT_EQ(state.LaunchWorker([&state, &completed, finished] {
        state.WorkerBegins();
        state.WorkerCompleted();
        completed.set_value();
        finished.wait();
        state.WorkerDone();
    }),
              RequestState::Launch::kStarted);
    completed.get_future().wait();
    // Released from another thread, since the launch below waits for it.
    std::thread releaser([&finish] { finish.set_value(); });
    EXPECT_EQ(state.LaunchWorker(worker(released)), RequestState::Launch::kStarted);
    releaser.join();
    state.JoinWorker();
    state.Stop(R::kDestroy);
    EXPECT_EQ(state.LaunchWorker(worker(released)), RequestState::Launch::kBusy);
}

}  // namespace
}  // namespace vrelay
