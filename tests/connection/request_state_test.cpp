// SPDX-License-Identifier: MIT
// The request owner's transitions, driven directly: what a request reports
// after stops, whether the quit flag and the wake signal are up, what the next
// request meets, and when a worker may be launched.
#include "connection/request_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/socket.h"

namespace vrelay {
namespace {

using R = StopReason;

struct Step {
    enum Op { kBegin, kEnd, kStop, kResume } op;
    StopReason why = R::kNone;
};
const Step kBegin{Step::kBegin};
const Step kEnd{Step::kEnd};
const Step kResume{Step::kResume};
Step Stop(StopReason why) {
    return {Step::kStop, why};
}

struct Row {
    const char* name;
    std::vector<Step> steps;
    StopReason stopped;  // what the last request reports
    bool quit;           // the quit flag, and the wake signal with it
    StopReason refusal;  // what a request beginning now meets
};

// clang-format off
const Row kRows[] = {
    {"a request runs to its end", {kBegin, kEnd}, R::kNone, false, R::kNone},
    {"a failure stops its own request only", {kBegin, Stop(R::kAnswerFailed), kEnd},
     R::kAnswerFailed, true, R::kNone},
    {"the first reason is the request's",
     {kBegin, Stop(R::kRefused), Stop(R::kSendFailed), Stop(R::kCancel)},
     R::kRefused, true, R::kCancel},
    {"a cancel refuses the requests after it", {kBegin, Stop(R::kCancel), kEnd},
     R::kCancel, true, R::kCancel},
    {"the first of cancel and destroy refuses", {Stop(R::kCancel), Stop(R::kDestroy)},
     R::kCancel, true, R::kCancel},
    {"a refused request changes nothing", {Stop(R::kDestroy), kBegin},
     R::kDestroy, true, R::kDestroy},
    {"the next request starts clean", {kBegin, Stop(R::kRefused), kEnd, kBegin},
     R::kNone, false, R::kNone},
    {"resume lets requests begin again", {kBegin, Stop(R::kCancel), kEnd, kResume},
     R::kNone, false, R::kNone},
};
// clang-format on

// Each row runs twice: with the wake signal made before the steps (a stop
// raises it) and after them (it is made raised).
TEST(RequestStateTest, RequestsReportTheirFirstStopAndCancelOrDestroyRefuseTheNext) {
    for (const Row& row : kRows) {
        for (bool wakeFirst : {true, false}) {
            SCOPED_TRACE(std::string(row.name) +
                         (wakeFirst ? ", wake made first" : ", wake made last"));
            RequestState state;
            WakeSignal* wake = wakeFirst ? state.Wake() : nullptr;
            for (const Step& step : row.steps) {
                switch (step.op) {
                    case Step::kBegin:
                        state.BeginRequest();
                        break;
                    case Step::kEnd:
                        state.EndRequest();
                        break;
                    case Step::kStop:
                        state.Stop(step.why);
                        break;
                    case Step::kResume:
                        state.Resume();
                        break;
                }
            }
            wake = wake ? wake : state.Wake();
            ASSERT_NE(wake, nullptr);
            EXPECT_EQ(state.Stopped(), row.stopped);
            EXPECT_EQ(state.Quit(), row.quit);
            EXPECT_EQ(wake->IsRaised(), row.quit);
            RequestScope next(state);
            EXPECT_EQ(next.Refused(), row.refusal);
        }
    }
}

// A launch is refused while the connection stops and starts once it has
// resumed. (A launch without a thread is RenderingTest's failed launch.)
TEST(RequestStateTest, LaunchesAreRefusedWhileStopping) {
    auto body = [](RequestState* state) {
        return [state] {
            state->TakenOver();
            state->WorkerDone();
        };
    };
    RequestState state;
    EXPECT_EQ(state.LaunchWorker(body(&state)), RequestState::Launch::kStarted);
    state.Stop(R::kCancel);
    EXPECT_EQ(state.LaunchWorker(body(&state)), RequestState::Launch::kBusy);
    state.Resume();
    EXPECT_EQ(state.LaunchWorker(body(&state)), RequestState::Launch::kStarted);
    state.JoinWorker();
    EXPECT_FALSE(state.HasWorker());
}

}  // namespace
}  // namespace vrelay
