#include "tests/support/fake_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "client/vrelay.h"
#include "transport/packet.h"
#include "transport/socket.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::FakeServer;
using test::ReceivedFrame;

bool Send(Socket& socket, uint16_t type, const std::string& text) {
    Bytes payload = test::TextPayload(text);
    Packet packet(0, type, payload.data(), static_cast<uint32_t>(payload.size()), false);
    return packet.SendData(&socket);
}

// Reads one whole frame; null when the stream ends first.
std::unique_ptr<Packet> Read(Socket& socket) {
    auto packet = std::make_unique<Packet>();
    while (!packet->FilledPacket()) {
        int received = 0;
        if (!packet->GetData(&socket, &received)) {
            return nullptr;
        }
    }
    return packet;
}

TEST(FakeServerTest, DefaultAnswersTextAndQueryWithEnd) {
    FakeServer server;
    SocketClient client(server.Host(), server.Port());
    for (uint16_t type : {PACKET_TEXT, PACKET_TEXT_CHUNK, PACKET_QUERY}) {
        ASSERT_TRUE(Send(client, type, "hello"));
        auto answer = Read(client);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->PacketType(), PACKET_END);
        EXPECT_TRUE(answer->OK());
    }
    ASSERT_TRUE(server.WaitForFrames(3));
    auto frames = server.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].type, PACKET_TEXT);
    EXPECT_EQ(frames[0].Text(), "hello");
    EXPECT_EQ(frames[0].raw, test::EncodeFrame(PACKET_TEXT, test::TextPayload("hello")));
    EXPECT_TRUE(frames[0].ok);
    EXPECT_EQ(frames[2].type, PACKET_QUERY);
    EXPECT_EQ(frames[2].session, 1);
    Bytes all;
    for (const auto& f : frames) {
        all.insert(all.end(), f.raw.begin(), f.raw.end());
    }
    EXPECT_EQ(server.RawBytes(), all);
}

TEST(FakeServerTest, CloseEndsSessionAndNextClientIsServed) {
    FakeServer server;
    {
        SocketClient first(server.Host(), server.Port());
        ASSERT_TRUE(Send(first, PACKET_CLOSE, ""));
        EXPECT_EQ(Read(first), nullptr);  // server hung up
    }
    ASSERT_TRUE(server.WaitForSessionsEnded(1));
    SocketClient second(server.Host(), server.Port());
    ASSERT_TRUE(Send(second, PACKET_TEXT, "again"));
    auto answer = Read(second);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->PacketType(), PACKET_END);
    EXPECT_EQ(server.Frames().back().session, 2);
    EXPECT_EQ(server.SessionsAccepted(), 2);
}

TEST(FakeServerTest, ScriptedAnswersArriveInOrder) {
    FakeServer server([](const ReceivedFrame& frame) -> std::vector<Action> {
        if (frame.type != PACKET_QUERY) {
            return {};
        }
        return {Action::Text(PACKET_QUERY, "<voices>"), Action::Frame(PACKET_DATA_6, {1, 2, 3}, 4u),
                Action::Raw(test::EncodeFrame(PACKET_DATA_8, {9}), true), Action::End()};
    });
    SocketClient client(server.Host(), server.Port());
    ASSERT_TRUE(Send(client, PACKET_QUERY, "<voice name=\"all\"/>"));
    auto reply = Read(client);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->PacketType(), PACKET_QUERY);
    EXPECT_STREQ(reinterpret_cast<const char*>(reply->Data()), "<voices>");
    auto mismatched = Read(client);
    ASSERT_NE(mismatched, nullptr);
    EXPECT_TRUE(mismatched->FilledPacket());
    EXPECT_FALSE(mismatched->OK());
    auto trickled = Read(client);
    ASSERT_NE(trickled, nullptr);
    EXPECT_EQ(trickled->PacketType(), PACKET_DATA_8);
    EXPECT_EQ(trickled->Length(), 1u);
    auto end = Read(client);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->PacketType(), PACKET_END);
}

TEST(FakeServerTest, GateHoldsTheAnswerUntilOpened) {
    FakeServer server([](const ReceivedFrame&) -> std::vector<Action> {
        return {Action::WaitGate("answer"), Action::End()};
    });
    SocketClient client(server.Host(), server.Port());
    ASSERT_TRUE(Send(client, PACKET_TEXT, "x"));
    ASSERT_TRUE(server.WaitForGate("answer"));
    client.SetReceiveLimit(0);
    char byte;
    size_t received = 1;
    ASSERT_TRUE(client.ReceiveBytes(&byte, 1, &received));
    EXPECT_EQ(received, 0u);  // nothing sent while the gate is shut
    client.SetReceiveLimit(-1);
    server.OpenGate("answer");
    auto answer = Read(client);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->PacketType(), PACKET_END);
}

TEST(FakeServerTest, ConnectActionsRunBeforeAnyFrame) {
    FakeServer server;
    server.SetConnectActions({Action::Text(PACKET_QUERY, "hello"), Action::Close()});
    SocketClient client(server.Host(), server.Port());
    auto greeting = Read(client);
    ASSERT_NE(greeting, nullptr);
    EXPECT_EQ(greeting->PacketType(), PACKET_QUERY);
    EXPECT_EQ(Read(client), nullptr);
}

TEST(FakeServerTest, StopReturnsPromptlyWithClientConnectedOrServerAtGate) {
    auto start = std::chrono::steady_clock::now();
    {
        FakeServer idle;
        SocketClient connected(idle.Host(), idle.Port());
        ASSERT_TRUE(Send(connected, PACKET_DATA_6, "unanswered"));
        ASSERT_TRUE(idle.WaitForFrames(1));
    }
    {
        FakeServer gated([](const ReceivedFrame&) -> std::vector<Action> {
            return {Action::WaitGate("never")};
        });
        SocketClient client(gated.Host(), gated.Port());
        ASSERT_TRUE(Send(client, PACKET_TEXT, "x"));
        ASSERT_TRUE(gated.WaitForGate("never"));
        gated.Stop();
        gated.Stop();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(FakeServerTest, WaitForFramesTimesOut) {
    FakeServer server;
    EXPECT_FALSE(server.WaitForFrames(1, std::chrono::milliseconds(20)));
}

}  // namespace
}  // namespace vrelay
