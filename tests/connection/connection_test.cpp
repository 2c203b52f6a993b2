// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>

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
    ThreadedConnection copy(&original);
    EXPECT_EQ(copy.GetPascalCallBack(), test::CallbackRecorder::Pascal);
}

TEST(ThreadedConnectionTest, DestructorStopsAndJoinsARunningWorker) {
    FakeServer server([](const test::ReceivedFrame&) {
        return std::vector<test::Action>{test::Action::Silent()};
    });
    std::atomic<bool> waitReturned{false};
    {
        ThreadedConnection connection;
        ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
        ASSERT_TRUE(connection.SendQuery("q"));
        ASSERT_EQ(connection.State().LaunchWorker([&] {
            connection.State().TakenOver();
            connection.WaitForEndPacket();
            waitReturned = true;
            connection.State().WorkerDone();
        }),
                  RequestState::Launch::kStarted);
        ASSERT_TRUE(server.WaitForFrames(1));
    }
    EXPECT_TRUE(waitReturned.load());
}

}  // namespace
}  // namespace vrelay
