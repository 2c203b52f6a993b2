// SPDX-License-Identifier: MIT
// Connection handles through the exported interface, against a scripted
// server on loopback.
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include "client/enumerator.h"
#include "client/handles.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Bytes;
using test::FakeServer;

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Connections().Clear();
        Enumerators().Clear();
    }
    void TearDown() override { SetUp(); }
    vr_handle Open() {
        const vr_handle handle = vrCreateConnection();
        EXPECT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
        return handle;
    }
    FakeServer server_;
};

TEST_F(LifecycleTest, HandlesAreNumberedFromOneThousandAndReusedLastInFirstOut) {
    EXPECT_EQ(vrCreateConnection(), 1000);
    EXPECT_EQ(vrCreateConnection(), 1001);
    EXPECT_EQ(vrCreateConnection(), 1002);
    EXPECT_EQ(vrCloseConnection(1001), VR_SEND_FAILED);  // never opened
    EXPECT_EQ(vrDestroyConnection(1001), VR_SUCCESS);
    EXPECT_EQ(vrDestroyConnection(1000), VR_SUCCESS);
    EXPECT_EQ(vrDestroyConnection(1000), VR_SUCCESS);  // unknown handles change nothing
    EXPECT_EQ(vrDestroyConnection(-1), VR_SUCCESS);
    EXPECT_EQ(vrCreateConnection(), 1000);
    EXPECT_EQ(vrCreateConnection(), 1001);
    EXPECT_EQ(vrCreateConnection(), 1003);
}

// Close sends exactly the 14-byte PACKET_CLOSE and a later destroy nothing
// more; destroying an open connection sends the same frame.
TEST_F(LifecycleTest, CloseOrDestroyPutsExactlyTheCloseFrameOnTheWire) {
    const Bytes kClose = {0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const vr_handle closed = Open();
    EXPECT_EQ(vrCloseConnection(closed), VR_SUCCESS);
    EXPECT_EQ(vrCloseConnection(closed), VR_SEND_FAILED);
    EXPECT_EQ(vrDestroyConnection(closed), VR_SUCCESS);
    const vr_handle destroyed = Open();
    EXPECT_EQ(vrDestroyConnection(destroyed), VR_SUCCESS);
    EXPECT_EQ(vrCloseConnection(destroyed), VR_BAD_HANDLE);
    ASSERT_TRUE(server_.WaitForFrames(2));
    const auto frames = server_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].raw, kClose);
    EXPECT_EQ(frames[1].raw, kClose);
}

// Unopened, failed to open, or closed: requests fail at once with their
// result, and the handle works once it is open.
TEST_F(LifecycleTest, UnopenedOrFailedHandlesFailToSendAndWorkOnceOpen) {
    int closedPort;
    {
        FakeServer gone;
        closedPort = gone.Port();
    }
    const vr_handle handle = vrCreateConnection();
    EXPECT_EQ(vrRenderSpeech(handle, "Hello"), VR_SEND_FAILED);
    EXPECT_EQ(vrPushSpeechStream(handle, "Hello"), VR_SEND_FAILED);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrCancelRequest(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrCancelRequest(handle), VR_SEND_FAILED);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: bad handle.\nWARNING: could not close the connection!\n");
    EXPECT_EQ(vrOpenConnection(handle, "127.0.0.1", closedPort), VR_CONNECT_FAILED);
    EXPECT_EQ(vrOpenConnection(handle, "no-such-host.invalid", 80), VR_CONNECT_FAILED);
    EXPECT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    // The refused cancel left no stop behind: the query reads its reply.
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SUCCESS);
    // The failed submissions left the connection idle: a cancel does not hang.
    EXPECT_EQ(vrCancelRequest(handle), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeech(handle, "Hello"), VR_SUCCESS);
    ASSERT_EQ(vrCloseConnection(handle), VR_SUCCESS);
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SEND_FAILED);
    ASSERT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SUCCESS);
}

}  // namespace
}  // namespace vrelay
