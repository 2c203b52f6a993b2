// SPDX-License-Identifier: MIT
// The receive loop, and the threaded connection around it, against a scripted
// server on loopback. What reaches the application's callback is the client
// tests'; failing streams (cut frames, bad lengths, stalls, trickles) are rows
// of the client fault table.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "connection/connection.h"
#include "connection/threaded_connection.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::FakeServer;
using test::ReceivedFrame;

// Records the types of what it is handed, from any thread.
class RecordingSink : public PacketSink {
  public:
    bool Deliver(uint16_t type, const unsigned char*, uint32_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        types_.push_back(type);
        return true;
    }
    bool DeliverPhoneme(const wire::Phoneme&) override {
        return Deliver(wire::kPhoneme, nullptr, 0);
    }
    std::vector<uint16_t> Types() {
        std::lock_guard<std::mutex> lock(mutex_);
        return types_;
    }

  private:
    std::mutex mutex_;
    std::vector<uint16_t> types_;
};

// A stop before the wait reads nothing of the answer.
TEST(ReceiveLoopTest, AStopBeforeTheWaitReadsNothing) {
    FakeServer server(
        test::AnswerWhen([](const ReceivedFrame& f) { return f.type == wire::kQuery; },
                         {Action::Frame(wire::kAudio, {1}), Action::End()}));
    RecordingSink sink;
    Connection connection(sink);
    ScopedLock lock(connection.Lock());
    ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
    ASSERT_TRUE(connection.SendQuery("ask"));
    ASSERT_TRUE(server.WaitForFrames(1));
    connection.Request().Stop(StopReason::kCancel);
    EXPECT_TRUE(connection.WaitForEndPacket());
    EXPECT_TRUE(sink.Types().empty());
}

// The worker waits for a server that never answers; the destructor stops
// it, and its completion still comes, before the destructor returns.
TEST(ThreadedConnectionTest, DestructorStopsAndJoinsARunningWorker) {
    FakeServer server([](const ReceivedFrame&) { return std::vector<Action>{Action::Silent()}; });
    RecordingSink sink;
    {
        ThreadedConnection connection(sink);
        {
            ScopedLock lock(connection.Lock());
            ASSERT_TRUE(connection.Connect(server.Host().c_str(), server.Port()));
        }
        ASSERT_EQ(connection.RenderAsync("Hello", true), RequestState::Launch::kStarted);
        ASSERT_TRUE(server.WaitForFrames(1));
    }
    EXPECT_EQ(sink.Types(), std::vector<uint16_t>{wire::kRequestDone});
}

}  // namespace
}  // namespace vrelay
