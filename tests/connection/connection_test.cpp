#include "connection/connection.h"

#include <gtest/gtest.h>

#include "connection/threaded_connection.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Bytes;
using test::FakeServer;

int32_t VR_CDECL NoopCallback(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}
int32_t VR_PASCAL NoopPascal(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}

TEST(ConnectionTest, UnconnectedHasDefaultsAndFailsEverySend) {
    Connection connection;
    EXPECT_EQ(connection.GetReceiveTimeout(), 60000);
    EXPECT_FALSE(connection.SendQuery("abc"));
    EXPECT_FALSE(connection.CloseStreamSocket());
    EXPECT_FALSE(connection.Close());
    EXPECT_FALSE(connection.WaitForEndPacket());
    // A failed connect still records what was tried.
    EXPECT_FALSE(connection.Connect("no-such-host.invalid", 4321));
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_EQ(connection.Host(), "no-such-host.invalid");
    EXPECT_EQ(connection.Port(), 4321);
}

TEST(ConnectionTest, PutsExactFramesOnTheWireAndReconnectsAfterClose) {
    FakeServer server;
    Connection connection;
    ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
    EXPECT_TRUE(connection.SendQuery("abc"));
    EXPECT_TRUE(connection.CloseStreamSocket());
    ASSERT_TRUE(server.WaitForFrames(2));
    const auto frames = server.Frames();
    EXPECT_EQ(frames[0].raw, test::EncodeFrame(PACKET_QUERY, Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(frames[1].raw, (Bytes{0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // PACKET_CLOSE
    EXPECT_TRUE(connection.Close());
    EXPECT_FALSE(connection.Close());

    ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
    EXPECT_TRUE(connection.SendQuery("q"));
    EXPECT_TRUE(connection.WaitForEndPacket());
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
