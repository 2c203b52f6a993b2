// SPDX-License-Identifier: MIT
// The threaded connection against a scripted server on loopback. What an
// answer delivers is the client tests'; failing streams (cut frames, bad
// lengths, stalls, trickles, cancels) are rows of the client fault table.
#include <gtest/gtest.h>

#include <vector>

#include "connection/connection.h"
#include "connection/threaded_connection.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::FakeServer;
using test::ReceivedFrame;

// Records the types of what it is handed (on the worker thread; read once
// the worker has been joined).
struct RecordingSink : PacketSink {
    bool Deliver(uint16_t type, const unsigned char*, uint32_t) override {
        types.push_back(type);
        return true;
    }
    bool DeliverPhoneme(const wire::Phoneme&) override {
        return Deliver(wire::kPhoneme, nullptr, 0);
    }
    std::vector<uint16_t> types;
};

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
    EXPECT_EQ(sink.types, std::vector<uint16_t>{wire::kRequestDone});
}

}  // namespace
}  // namespace vrelay
