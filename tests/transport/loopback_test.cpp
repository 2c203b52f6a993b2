#include <gtest/gtest.h>

// linux/tcp.h for tcp_info's segment counters (not in the C library's copy).
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <vrelay/vrelay.h>
#include "tests/support/fake_server.h"
#include "tests/transport/frame_io.h"
#include "transport/packet.h"
#include "transport/socket.h"

namespace vrelay {
namespace {

using Clock = std::chrono::steady_clock;

TEST(LoopbackTest, RequestAnswerExchangeIsFast) {
    test::FakeServer server;
    SocketClient client(server.Host(), server.Port());
    constexpr int kRounds = 50;
    std::vector<double> micros;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = Clock::now();
        ASSERT_TRUE(
            test::SendFrame(client, PACKET_TEXT, test::TextPayload("<mark name=\"kvox_final\"/>")));
        Packet answer;
        ASSERT_TRUE(test::ReadFrame(answer, client));
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        ASSERT_EQ(answer.PacketType(), PACKET_END);
    }
    std::sort(micros.begin(), micros.end());
    const double median = micros[kRounds / 2];
    std::printf("request/answer median over %d exchanges: %.1f us (max %.1f us)\n", kRounds, median,
                micros.back());
    RecordProperty("exchange_median_us", static_cast<int>(median));
    EXPECT_LT(median, 200000.0);
}

// Data segments the socket has sent so far, or -1 if the kernel does not say.
long long DataSegmentsOut(const Socket& socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(static_cast<int>(socket.Handle()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_data_segs_out) + sizeof info.tcpi_data_segs_out) {
        return -1;
    }
    return info.tcpi_data_segs_out;
}

TEST(LoopbackTest, FrameLeavesAsOneSegment) {
    SocketServer listener(0, 1, WaitingSelect, "127.0.0.1");
    SocketClient client("127.0.0.1", listener.Port());
    std::unique_ptr<Socket> peer(listener.Accept());
    ASSERT_NE(peer, nullptr);
    for (uint32_t length : {0u, 20u, 1000u, 8000u}) {
        SCOPED_TRACE(length);
        const long long before = DataSegmentsOut(client);
        if (before < 0) {
            GTEST_SKIP() << "kernel reports no segment counts";
        }
        ASSERT_TRUE(test::SendFrame(client, PACKET_DATA_6, test::Bytes(length, 'a')));
        EXPECT_EQ(DataSegmentsOut(client) - before, 1);
        // Drain it so the next frame starts with an empty pipe.
        Packet in;
        ASSERT_TRUE(test::ReadFrame(in, *peer));
        ASSERT_EQ(in.Length(), length);
    }
}

}  // namespace
}  // namespace vrelay
