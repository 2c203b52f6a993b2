#include "tests/support/fake_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "client/vrelay.h"
#include "tests/transport/frame_io.h"
#include "transport/packet.h"
#include "transport/socket.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::FakeServer;
using test::ReceivedFrame;

bool Send(Socket& socket, uint16_t type, const std::string& text) {
    return test::SendFrame(socket, type, test::TextPayload(text));
}

// One whole frame; null when the stream ends first.
std::unique_ptr<Packet> Read(Socket& socket) {
    auto packet = std::make_unique<Packet>();
    return test::ReadFrame(*packet, socket) ? std::move(packet) : nullptr;
}

uint16_t ReadType(Socket& socket) {
    auto packet = Read(socket);
    return packet != nullptr ? packet->PacketType() : 0;
}

TEST(FakeServerTest, DefaultAnswersRecordFramesAndCloseEndsTheSession) {
    FakeServer server;
    EXPECT_FALSE(server.WaitForFrames(1, std::chrono::milliseconds(20)));
    {
        SocketClient first(server.Host(), server.Port());
        for (uint16_t type : {PACKET_TEXT, PACKET_TEXT_CHUNK, PACKET_QUERY}) {
            ASSERT_TRUE(Send(first, type, "hello"));
            EXPECT_EQ(ReadType(first), PACKET_END);
        }
        ASSERT_TRUE(Send(first, PACKET_CLOSE, ""));
        EXPECT_EQ(Read(first), nullptr);  // server hung up
    }
    ASSERT_TRUE(server.WaitForSessionsEnded(1));
    SocketClient second(server.Host(), server.Port());
    ASSERT_TRUE(Send(second, PACKET_TEXT, "again"));
    EXPECT_EQ(ReadType(second), PACKET_END);

    const auto frames = server.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].Text(), "hello");
    EXPECT_EQ(frames[0].raw, test::EncodeFrame(PACKET_TEXT, test::TextPayload("hello")));
    EXPECT_TRUE(frames[0].ok);
    EXPECT_EQ(frames[3].type, PACKET_CLOSE);
    EXPECT_EQ(frames[3].session, 1);
    EXPECT_EQ(frames[4].session, 2);
    Bytes all;
    for (const auto& f : frames) {
        all.insert(all.end(), f.raw.begin(), f.raw.end());
    }
    EXPECT_EQ(server.RawBytes(), all);
}

TEST(FakeServerTest, ConnectActionsAndScriptedAnswersArriveInOrder) {
    FakeServer server([](const ReceivedFrame& frame) -> std::vector<Action> {
        if (frame.type != PACKET_QUERY) {
            return {};
        }
        return {Action::Text(PACKET_QUERY, "<voices>"), Action::Frame(PACKET_DATA_6, {1, 2, 3}, 4u),
                Action::Raw(test::EncodeFrame(PACKET_DATA_8, {9}), true), Action::Close()};
    });
    server.SetConnectActions({Action::Text(PACKET_DATA_10, "hello")});
    SocketClient client(server.Host(), server.Port());
    EXPECT_EQ(ReadType(client), PACKET_DATA_10);
    ASSERT_TRUE(Send(client, PACKET_QUERY, "<voice name=\"all\"/>"));
    auto reply = Read(client);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(reply->Data()), "<voices>");
    auto mismatched = Read(client);
    ASSERT_NE(mismatched, nullptr);
    EXPECT_FALSE(mismatched->OK());
    auto trickled = Read(client);
    ASSERT_NE(trickled, nullptr);
    EXPECT_EQ(trickled->PacketType(), PACKET_DATA_8);
    EXPECT_EQ(trickled->Length(), 1u);
    EXPECT_EQ(Read(client), nullptr);
}

TEST(FakeServerTest, GateHoldsTheAnswerAndStopEndsEveryWaitPromptly) {
    const auto start = std::chrono::steady_clock::now();
    {
        FakeServer idle;  // stops while reading from a connected client
        SocketClient connected(idle.Host(), idle.Port());
        ASSERT_TRUE(Send(connected, PACKET_DATA_6, "unanswered"));
        ASSERT_TRUE(idle.WaitForFrames(1));
    }
    FakeServer gated([](const ReceivedFrame&) -> std::vector<Action> {
        return {Action::WaitGate("answer"), Action::End()};
    });
    SocketClient client(gated.Host(), gated.Port());
    ASSERT_TRUE(Send(client, PACKET_TEXT, "x"));
    ASSERT_TRUE(gated.WaitForGate("answer"));
    client.SetReceiveLimit(0);
    char byte;
    size_t received = 1;
    ASSERT_TRUE(client.ReceiveBytes(&byte, 1, &received));
    EXPECT_EQ(received, 0u);  // nothing sent while the gate is shut
    client.SetReceiveLimit(-1);
    gated.OpenGate("answer");
    EXPECT_EQ(ReadType(client), PACKET_END);

    ASSERT_TRUE(Send(client, PACKET_TEXT, "y"));
    ASSERT_TRUE(gated.WaitForGate("answer"));
    gated.Stop();
    gated.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vrelay
