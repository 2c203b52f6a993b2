// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "connection/threaded_connection.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::FakeServer;

// A cancel carries on with a copy of the connection. The copy's C callback,
// user data and address are checked by the fault table's cancel rows.
TEST(ThreadedConnectionTest, CopyKeepsThePascalCallback) {
    ThreadedConnection original;
    original.SetPascalCallBack(test::CallbackRecorder::Pascal);
    ThreadedConnection copy(original);
    EXPECT_EQ(copy.GetPascalCallBack(), test::CallbackRecorder::Pascal);
}

// The worker waits for a server that never answers; the destructor stops
// it, and its completion still comes, before the destructor returns.
TEST(ThreadedConnectionTest, DestructorStopsAndJoinsARunningWorker) {
    FakeServer server([](const test::ReceivedFrame&) {
        return std::vector<test::Action>{test::Action::Silent()};
    });
    test::CallbackRecorder recorder;
    {
        ThreadedConnection connection;
        ASSERT_TRUE(recorder.Attach(connection, server));
        ASSERT_EQ(connection.RenderAsync("Hello", true), RequestState::Launch::kStarted);
        ASSERT_TRUE(server.WaitForFrames(1));
    }
    EXPECT_EQ(recorder.Done(), 1u);
}

}  // namespace
}  // namespace vrelay
