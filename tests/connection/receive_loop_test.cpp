// SPDX-License-Identifier: MIT
// The receive loop, and the threaded connection around it, against a scripted
// server on loopback. Failing streams (cut frames, bad lengths, stalls,
// trickles) are rows of the client fault table.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "connection/threaded_connection.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::CallbackRecorder;
using test::CapturedLog;
using test::EncodePhonemePayload;
using test::FakeServer;
using test::ReceivedFrame;
using Types = std::vector<PACKET_TYPE>;

Bytes Payload(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

bool IsQuery(const ReceivedFrame& frame) {
    return frame.type == PACKET_QUERY;
}

class ReceiveLoopTest : public ::testing::Test {
  protected:
    void Open(std::vector<Action> answer) {
        server_.SetHandler(test::AnswerWhen(IsQuery, std::move(answer)));
        ASSERT_TRUE(recorder_.Attach(connection_, server_));
    }
    bool Ask() {
        EXPECT_TRUE(connection_.SendQuery("ask"));
        return connection_.WaitForEndPacket();
    }

    FakeServer server_;
    Connection connection_;
    CallbackRecorder recorder_;
};

// What an answer delivers and logs; failing streams are the fault table's rows.
TEST_F(ReceiveLoopTest, RelaysDataAndQueryPacketsAndWarnsOfOtherTypes) {
    struct Row {
        const char* name;
        std::vector<Action> answer;
        std::vector<std::string> log;
        Types delivered;
    };
    const std::vector<Row> rows = {
        {"every relayed type in order",
         {Action::Frame(PACKET_DATA_9, Payload("f")), Action::Frame(PACKET_DATA_6, Payload("a")),
          Action::Frame(PACKET_DATA_8, Payload("m")), Action::Frame(PACKET_DATA_10, Payload("t")),
          Action::Text(PACKET_QUERY, "q"), Action::End()},
         {},
         {PACKET_DATA_9, PACKET_DATA_6, PACKET_DATA_8, PACKET_DATA_10, PACKET_QUERY}},
        {"unknown types between data",
         {Action::Frame(PACKET_DATA_6, Payload("1")), Action::Frame(5, Payload("x")),
          Action::Frame(PACKET_TEXT, Payload("y")), Action::Frame(PACKET_REQUEST_DONE),
          Action::Frame(PACKET_DATA_6, Payload("2")), Action::End()},
         {"WARNING: unhandled packet type 5", "WARNING: unhandled packet type 1",
          "WARNING: unhandled packet type 14"},
         {PACKET_DATA_6, PACKET_DATA_6}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeServer server(test::AnswerWhen(IsQuery, row.answer));
        Connection connection;
        CallbackRecorder recorder;
        ASSERT_TRUE(recorder.Attach(connection, server));
        CapturedLog log;
        ASSERT_TRUE(connection.SendQuery("ask"));
        EXPECT_TRUE(connection.WaitForEndPacket());
        EXPECT_EQ(log.Messages(), row.log);
        EXPECT_EQ(recorder.Types(), row.delivered);
    }
}

// Payloads arrive unchanged, the largest and the empty one. Whole and cut
// phoneme records become events; a hostile one (every kind is a row of the
// transport's phoneme table) is dropped with a warning and the answer goes on.
TEST_F(ReceiveLoopTest, DeliversPayloadsUnchangedAndPhonemeRecordsAsEventsDroppingHostileOnes) {
    const Bytes names(40, 'x');
    Bytes big(64000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    Open({Action::Frame(PACKET_PHONEME,
                        EncodePhonemePayload(1234, "ah", "b", {1, 2, 3, 4, 5, 6, 7})),
          Action::Frame(PACKET_PHONEME,
                        EncodePhonemePayload(-9, "t", "", {10, 20, 30, 9, 9, 9, 9}, 3)),
          Action::Frame(PACKET_PHONEME, test::PhonemeWithLengths(1000, 2, names)),
          Action::Frame(PACKET_DATA_6, big), Action::Frame(PACKET_DATA_8, {}), Action::End()});
    CapturedLog log;
    EXPECT_TRUE(Ask());
    ASSERT_EQ(recorder_.Types(),
              (Types{PACKET_PHONEME, PACKET_PHONEME, PACKET_DATA_6, PACKET_DATA_8}));
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("WARNING: ", 0), 0u) << messages[0];

    const auto d = recorder_.Deliveries();
    auto values = [](const PhonemeEvent& e) {
        return std::array<int32_t, 8>{e.first,  e.value1, e.value2, e.value3,
                                      e.value4, e.value5, e.value6, e.value7};
    };
    EXPECT_EQ(d[0].length, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(d[0].phoneme.size, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(d[0].phone + "/" + d[0].nextPhone, "ah/b");
    EXPECT_EQ(values(d[0].phoneme), (std::array<int32_t, 8>{1234, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d[1].phone + "/" + d[1].nextPhone, "t/");
    EXPECT_EQ(values(d[1].phoneme), (std::array<int32_t, 8>{-9, 10, 20, 30, 0, 0, 0, 0}));
    EXPECT_EQ(d[2].length, 64000);
    EXPECT_EQ(d[2].data, big);
    EXPECT_EQ(d[3].length, 0);
}

TEST_F(ReceiveLoopTest, OnlyTheCCallbackRunsWhenBothAreSet) {
    Open({Action::Frame(PACKET_DATA_6, Payload("1")), Action::End()});
    connection_.SetPascalCallBack(CallbackRecorder::Pascal);
    EXPECT_TRUE(Ask());
    connection_.FireEvent(PACKET_REQUEST_DONE);
    EXPECT_EQ(recorder_.Types(), (Types{PACKET_DATA_6, PACKET_REQUEST_DONE}));
    EXPECT_EQ(recorder_.PascalCalls(), 0);

    connection_.SetCallBack(nullptr);
    EXPECT_TRUE(Ask());
    EXPECT_EQ(recorder_.PascalCalls(), 1);
}

// A stop before the wait reads nothing; the completion event still goes.
TEST_F(ReceiveLoopTest, AStopBeforeTheWaitReadsNothingButTheCompletionGoes) {
    Open({Action::Frame(PACKET_DATA_6, Payload("1")), Action::End()});
    ASSERT_TRUE(connection_.SendQuery("ask"));
    ASSERT_TRUE(server_.WaitForFrames(1));
    connection_.Request().Stop(StopReason::kCancel);
    EXPECT_TRUE(connection_.WaitForEndPacket());
    connection_.FireEvent(PACKET_REQUEST_DONE);
    EXPECT_EQ(recorder_.Types(), (Types{PACKET_REQUEST_DONE}));
    EXPECT_EQ(recorder_.Deliveries()[0].length, 0);
}

// The worker waits for a server that never answers; the destructor stops
// it, and its completion still comes, before the destructor returns.
TEST(ThreadedConnectionTest, DestructorStopsAndJoinsARunningWorker) {
    FakeServer server([](const ReceivedFrame&) { return std::vector<Action>{Action::Silent()}; });
    CallbackRecorder recorder;
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
