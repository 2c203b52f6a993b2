#include "connection/connection.h"

#include <gtest/gtest.h>

#include "connection/threaded_connection.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::FakeServer;

int32_t VR_CDECL NoopCallback(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}
int32_t VR_PASCAL NoopPascal(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}

TEST(ThreadedConnectionTest, CopyTakesSettingsButNotStateOrStream) {
    FakeServer server;
    ThreadedConnection original;
    int userData = 0;
    original.SetCallBack(NoopCallback);
    original.SetPascalCallBack(NoopPascal);
    original.SetUserData(&userData);
    original.SetReceiveTimeout(5);
    original.OwnLexer().SetSigRate(1.5f);
    original.OwnLexer().SetSigAmplitude(80.0f);
    ASSERT_TRUE(original.Connect(server.Host().c_str(), server.Port()));
    original.SetRequestMode(1);
    original.SetQuitFlag(true);

    ThreadedConnection copy(&original);
    EXPECT_EQ(copy.GetCallBack(), NoopCallback);
    EXPECT_EQ(copy.GetPascalCallBack(), NoopPascal);
    EXPECT_EQ(copy.GetUserData(), &userData);
    EXPECT_EQ(copy.Host(), "127.0.0.1");
    EXPECT_EQ(copy.Port(), server.Port());
    EXPECT_EQ(copy.RequestMode(), 1);
    EXPECT_EQ(copy.OwnLexer().SigRate(), 1.5f);
    EXPECT_EQ(copy.OwnLexer().SigAmplitude(), 80.0f);
    EXPECT_EQ(copy.OwnLexer().SigF0(), -1.0f);
    EXPECT_FALSE(copy.IsConnected());
    EXPECT_FALSE(copy.GetQuitFlag());
    EXPECT_EQ(copy.GetReceiveTimeout(), 60000);
    EXPECT_FALSE(copy.State().HasWorker());
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
