// The receive loop against a scripted server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::CapturedLog;
using test::EncodeFrame;
using test::EncodePhonemePayload;
using test::FakeServer;
using test::ReceivedFrame;

struct Delivery {
    PACKET_TYPE type;
    Bytes data;  // payload, or the phoneme event's fields rendered as text
    int32_t length;
    PhonemeEvent phoneme{};
    std::string phone;
    std::string nextPhone;
};

// Records what the callback receives; answers with `result`.
struct Recorder {
    std::mutex mutex;
    std::vector<Delivery> deliveries;
    int32_t result = VR_SUCCESS;
    int pascalCalls = 0;

    static int32_t Callback(void* self, PACKET_TYPE type, void* data, int32_t length) {
        auto* recorder = static_cast<Recorder*>(self);
        Delivery delivery;
        delivery.type = type;
        delivery.length = length;
        if (type == PACKET_PHONEME) {
            delivery.phoneme = *static_cast<PhonemeEvent*>(data);
            delivery.phone = delivery.phoneme.phone;
            delivery.nextPhone = delivery.phoneme.next_phone;
        } else if (data) {
            auto* bytes = static_cast<uint8_t*>(data);
            delivery.data.assign(bytes, bytes + length);
        }
        std::lock_guard<std::mutex> guard(recorder->mutex);
        recorder->deliveries.push_back(std::move(delivery));
        return recorder->result;
    }
    static int32_t VR_PASCAL Pascal(void* self, PACKET_TYPE, void*, int32_t) {
        auto* recorder = static_cast<Recorder*>(self);
        std::lock_guard<std::mutex> guard(recorder->mutex);
        ++recorder->pascalCalls;
        return VR_SUCCESS;
    }
};

class ReceiveLoopTest : public ::testing::Test {
  protected:
    // The server answers the test's query with these actions.
    void Answer(std::vector<Action> actions) {
        server_.SetHandler([actions](const ReceivedFrame& frame) {
            if (frame.type == PACKET_QUERY)
                return actions;
            return test::DefaultAnswer(frame);
        });
    }
    void Open() {
        ASSERT_TRUE(connection_.Connect(server_.Host().c_str(), server_.Port()));
        connection_.SetCallBack(Recorder::Callback);
        connection_.SetUserData(&recorder_);
    }
    bool Ask() {
        EXPECT_TRUE(connection_.SendQuery("ask"));
        return connection_.WaitForEndPacket();
    }
    std::vector<PACKET_TYPE> Types() {
        std::vector<PACKET_TYPE> types;
        for (auto& d : recorder_.deliveries)
            types.push_back(d.type);
        return types;
    }

    FakeServer server_;
    Connection connection_;
    Recorder recorder_;
};

Bytes Payload(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST_F(ReceiveLoopTest, EndsEachWayWithItsResultAndLogLine) {
    struct Row {
        const char* name;
        std::vector<Action> answer;
        bool result;
        std::vector<std::string> log;
        std::vector<PACKET_TYPE> delivered;
    };
    const std::vector<Row> rows = {
        {"end only", {Action::End()}, true, {}, {}},
        {"data then end",
         {Action::Frame(PACKET_DATA_6, Payload("pcm")), Action::End()},
         true,
         {},
         {PACKET_DATA_6}},
        {"every relayed type in order",
         {Action::Frame(PACKET_DATA_9, Payload("f")), Action::Frame(PACKET_DATA_6, Payload("a")),
          Action::Frame(PACKET_DATA_8, Payload("m")), Action::Frame(PACKET_DATA_10, Payload("t")),
          Action::Text(PACKET_QUERY, "q"), Action::End()},
         true,
         {},
         {PACKET_DATA_9, PACKET_DATA_6, PACKET_DATA_8, PACKET_DATA_10, PACKET_QUERY}},
        {"unknown type between data",
         {Action::Frame(PACKET_DATA_6, Payload("1")), Action::Frame(5, Payload("x")),
          Action::Frame(PACKET_TEXT, Payload("y")), Action::Frame(PACKET_REQUEST_DONE),
          Action::Frame(PACKET_DATA_6, Payload("2")), Action::End()},
         true,
         {"WARNING: unhandled packet type 5", "WARNING: unhandled packet type 1",
          "WARNING: unhandled packet type 14"},
         {PACKET_DATA_6, PACKET_DATA_6}},
        {"server closes the session",
         {Action::Frame(PACKET_DATA_6, Payload("1")), Action::Frame(PACKET_CLOSE)},
         false,
         {"WARNING: the server has closed the connection to the vrelay client"},
         {PACKET_DATA_6}},
        {"stream ends mid-answer", {Action::Close()}, false, {}, {}},
        {"stream ends mid-frame",
         {Action::Raw(Bytes{0, 6, 0, 0, 0, 0, 0, 0, 0, 9, 'a'}), Action::Close()},
         false,
         {},
         {}},
        {"trailer differs from header",
         {Action::Frame(PACKET_DATA_6, Payload("abc"), 4u), Action::End()},
         false,
         {"ERROR: vrelay packet receive error"},
         {}},
        {"oversize length",
         {Action::Raw(Bytes{0, 6, 0, 0, 0, 0, 0, 0, 0xFA, 0x01})},
         false,
         {"ERROR: vrelay receive error, packet too big for packet type 6 length is 64001"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeServer server([&row](const ReceivedFrame& frame) {
            if (frame.type == PACKET_QUERY)
                return row.answer;
            return test::DefaultAnswer(frame);
        });
        Connection connection;
        Recorder recorder;
        ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
        connection.SetCallBack(Recorder::Callback);
        connection.SetUserData(&recorder);
        CapturedLog log;
        ASSERT_TRUE(connection.SendQuery("ask"));
        EXPECT_EQ(connection.WaitForEndPacket(), row.result);
        EXPECT_EQ(log.Messages(), row.log);
        std::vector<PACKET_TYPE> types;
        for (auto& d : recorder.deliveries)
            types.push_back(d.type);
        EXPECT_EQ(types, row.delivered);
    }
}

TEST_F(ReceiveLoopTest, DeliversPayloadAndLengthUnchanged) {
    Bytes big(64000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    Answer({Action::Frame(PACKET_DATA_6, big), Action::Frame(PACKET_DATA_8, {}), Action::End()});
    Open();
    EXPECT_TRUE(Ask());
    ASSERT_EQ(recorder_.deliveries.size(), 2u);
    EXPECT_EQ(recorder_.deliveries[0].length, 64000);
    EXPECT_EQ(recorder_.deliveries[0].data, big);
    EXPECT_EQ(recorder_.deliveries[1].length, 0);
}

TEST_F(ReceiveLoopTest, FramesTrickledByteByByteArriveWhole) {
    Bytes stream = EncodeFrame(PACKET_DATA_6, Payload("hello"));
    const Bytes second = EncodeFrame(PACKET_DATA_10, Payload("bye"));
    const Bytes end = EncodeFrame(PACKET_END, {});
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), end.begin(), end.end());
    Answer({Action::Raw(stream, /*trickle=*/true, /*trickleDelayMs=*/1)});
    Open();
    EXPECT_TRUE(Ask());
    ASSERT_EQ(Types(), (std::vector<PACKET_TYPE>{PACKET_DATA_6, PACKET_DATA_10}));
    EXPECT_EQ(recorder_.deliveries[0].data, Payload("hello"));
    EXPECT_EQ(recorder_.deliveries[1].data, Payload("bye"));
}

TEST_F(ReceiveLoopTest, PhonemeRecordsBecomeEvents) {
    Answer({Action::Frame(PACKET_PHONEME,
                          EncodePhonemePayload(1234, "ah", "b", {1, 2, 3, 4, 5, 6, 7})),
            Action::Frame(PACKET_PHONEME,
                          EncodePhonemePayload(-9, "t", "", {10, 20, 30, 0, 0, 0, 0}, 3)),
            Action::End()});
    Open();
    EXPECT_TRUE(Ask());
    ASSERT_EQ(recorder_.deliveries.size(), 2u);
    const Delivery& full = recorder_.deliveries[0];
    EXPECT_EQ(full.length, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(full.phoneme.size, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(full.phone, "ah");
    EXPECT_EQ(full.nextPhone, "b");
    EXPECT_EQ(full.phoneme.first, 1234);
    const int32_t fullValues[] = {full.phoneme.value1, full.phoneme.value2, full.phoneme.value3,
                                  full.phoneme.value4, full.phoneme.value5, full.phoneme.value6,
                                  full.phoneme.value7};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(fullValues[i], i + 1);

    const Delivery& cut = recorder_.deliveries[1];
    EXPECT_EQ(cut.phone, "t");
    EXPECT_EQ(cut.nextPhone, "");
    EXPECT_EQ(cut.phoneme.first, -9);
    EXPECT_EQ(cut.phoneme.value3, 30);
    EXPECT_EQ(cut.phoneme.value4, 0);
    EXPECT_EQ(cut.phoneme.value7, 0);
}

TEST_F(ReceiveLoopTest, HostilePhonemeRecordsAreDroppedAndTheAnswerGoesOn) {
    auto withLengths = [](uint32_t n1, uint32_t n2, size_t bodySize) {
        Bytes payload = {0, 0, 0, 1};
        for (uint32_t n : {n1, n2}) {
            payload.push_back(static_cast<uint8_t>(n >> 24));
            payload.push_back(static_cast<uint8_t>(n >> 16));
            payload.push_back(static_cast<uint8_t>(n >> 8));
            payload.push_back(static_cast<uint8_t>(n));
        }
        payload.resize(payload.size() + bodySize, 'x');
        return payload;
    };
    Answer({Action::Frame(PACKET_PHONEME, withLengths(0xFFFFFFF0u, 0x20u, 40)),
            Action::Frame(PACKET_PHONEME, withLengths(1000, 2, 40)),
            Action::Frame(PACKET_PHONEME, withLengths(4, 4, 40)),  // names not NUL-terminated
            Action::Frame(PACKET_PHONEME, Bytes{0, 0, 0}),
            Action::Frame(PACKET_DATA_6, Payload("still here")), Action::End()});
    Open();
    CapturedLog log;
    EXPECT_TRUE(Ask());
    EXPECT_EQ(Types(), std::vector<PACKET_TYPE>{PACKET_DATA_6});
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 4u);
    for (const auto& message : messages)
        EXPECT_EQ(message.rfind("WARNING: ", 0), 0u) << message;
}

TEST_F(ReceiveLoopTest, RefusedPacketStopsTheAnswer) {
    Answer({Action::Frame(PACKET_DATA_6, Payload("1")), Action::Frame(PACKET_DATA_6, Payload("2")),
            Action::End()});
    Open();
    recorder_.result = 1;
    CapturedLog log;
    EXPECT_FALSE(Ask());
    EXPECT_EQ(recorder_.deliveries.size(), 1u);
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"WARNING: callback did not return VR_SUCCESS, skipping "
                                       "remaining packets"});
}

TEST_F(ReceiveLoopTest, OnlyTheCCallbackRunsWhenBothAreSet) {
    Answer({Action::Frame(PACKET_DATA_6, Payload("1")), Action::End()});
    Open();
    connection_.SetPascalCallBack(Recorder::Pascal);
    EXPECT_TRUE(Ask());
    connection_.FireEvent(PACKET_REQUEST_DONE);
    EXPECT_EQ(Types(), (std::vector<PACKET_TYPE>{PACKET_DATA_6, PACKET_REQUEST_DONE}));
    EXPECT_EQ(recorder_.pascalCalls, 0);

    connection_.SetCallBack(nullptr);
    EXPECT_TRUE(Ask());
    EXPECT_EQ(recorder_.pascalCalls, 1);
}

TEST_F(ReceiveLoopTest, FireEventWithQuitFlagDeliversOnlyRequestDone) {
    Open();
    connection_.SetQuitFlag(true);
    connection_.FireEvent(PACKET_DATA_10);
    connection_.FireEvent(PACKET_REQUEST_DONE);
    connection_.SetQuitFlag(false);
    connection_.FireEvent(PACKET_DATA_10);
    ASSERT_EQ(Types(), (std::vector<PACKET_TYPE>{PACKET_REQUEST_DONE, PACKET_DATA_10}));
    EXPECT_EQ(recorder_.deliveries[0].length, 0);
}

TEST_F(ReceiveLoopTest, QuitFlagSetBeforeTheWaitReadsNothing) {
    Answer({Action::Frame(PACKET_DATA_6, Payload("1")), Action::End()});
    Open();
    ASSERT_TRUE(connection_.SendQuery("ask"));
    ASSERT_TRUE(server_.WaitForFrames(1));
    connection_.SetQuitFlag(true);
    EXPECT_TRUE(connection_.WaitForEndPacket());
    EXPECT_TRUE(recorder_.deliveries.empty());
}

TEST_F(ReceiveLoopTest, QuitFlagEndsTheWaitOnASilentServerPromptly) {
    Answer({Action::Silent()});
    Open();
    ASSERT_TRUE(connection_.SendQuery("ask"));
    ASSERT_TRUE(server_.WaitForFrames(1));
    std::chrono::steady_clock::time_point setAt;
    std::thread canceller([&] {
        // Give the loop time to settle into its wait; correctness does not
        // depend on it, only the measurement does.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        setAt = std::chrono::steady_clock::now();
        connection_.SetQuitFlag(true);
    });
    EXPECT_TRUE(connection_.WaitForEndPacket());
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(ended - setAt);
    RecordProperty("quit_latency_ms", static_cast<int>(latency.count()));
    EXPECT_LT(latency.count(), 500) << "the wait must end within 50 ms (10x for sanitizers)";
}

TEST_F(ReceiveLoopTest, ReceiveTimeoutEndsTheWaitOnASilentServer) {
    Answer({Action::Silent()});
    Open();
    connection_.SetReceiveTimeout(150);
    CapturedLog log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Ask());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"WARNING: vrelay packet receive from server timed out after "
                                       "150ms"});
}

TEST_F(ReceiveLoopTest, TimeoutCountsFromTheLastProgress) {
    // Bytes keep arriving more slowly than the whole answer takes, but each
    // gap is far below the timeout: no time-out.
    Bytes stream = EncodeFrame(PACKET_DATA_6, Payload("slow"));
    const Bytes end = EncodeFrame(PACKET_END, {});
    stream.insert(stream.end(), end.begin(), end.end());
    Answer({Action::Raw(stream, /*trickle=*/true, /*trickleDelayMs=*/20)});
    Open();
    connection_.SetReceiveTimeout(300);
    EXPECT_TRUE(Ask());
    EXPECT_EQ(Types(), std::vector<PACKET_TYPE>{PACKET_DATA_6});
}

TEST_F(ReceiveLoopTest, WaitWithoutConnectionFails) {
    EXPECT_FALSE(connection_.WaitForEndPacket());
}

}  // namespace
}  // namespace vrelay
