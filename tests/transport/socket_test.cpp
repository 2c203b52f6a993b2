// SPDX-License-Identifier: MIT
#include "transport/socket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/captured_log.h"

namespace vrelay {
namespace {

using Clock = std::chrono::steady_clock;

// A connected client/server pair over loopback.
struct Pair {
    explicit Pair(const std::string& address = "127.0.0.1")
        : server(0, 1, WaitingSelect, address),
          client(address, server.Port()),
          accepted(server.Accept()) {}
    SocketServer server;
    SocketClient client;
    std::unique_ptr<Socket> accepted;
};

// Receives until n bytes came or a call failed ("<closed>" is appended then).
std::string Receive(Socket& socket, size_t n) {
    std::string out;
    while (out.size() < n) {
        char buffer[16];
        size_t received = 99;
        if (!socket.ReceiveBytes(buffer, std::min(n - out.size(), sizeof buffer), &received))
            return out + (received == 0 ? "<closed>" : "<closed with bytes>");
        out.append(buffer, received);
    }
    return out;
}

TEST(SocketTest, PeerCloseEndsReceiveSilentlyAndOwnCloseIsLogged) {
    test::CapturedLog capture;
    Pair pair;
    EXPECT_EQ(pair.client.SendBytes("abc", 0), 0);
    ASSERT_EQ(pair.client.SendBytes("ab", 2), 2);
    pair.client.Close();
    EXPECT_EQ(Receive(*pair.accepted, 8), "ab<closed>");  // what came before the close
    EXPECT_EQ(capture.Text(), "");
    pair.accepted->Close();
    pair.accepted->Close();  // idempotent
    EXPECT_EQ(Receive(*pair.accepted, 8), "<closed>");
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"ERROR: vrelay socket closed, cannot receive bytes"});
}

TEST(SocketTest, TimedReceiveAndWakeSignalEndTheWaitWithNothing) {
    Pair pair;
    char buffer[8];
    EXPECT_EQ(recv_to(pair.accepted->Handle(), buffer, 8, 0, 10), -2);
    EXPECT_EQ(recv_to(kInvalidSocket, buffer, 8, 0, 10), -2);
    // A wake signal raised from another thread ends a wait that has no limit
    // (a receive limit ends it as the fault table's stalling servers show).
    size_t received = 99;
    WakeSignal wake;
    pair.accepted->SetWakeSignal(&wake);
    std::thread raiser([&] { wake.Raise(); });
    EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    raiser.join();
    EXPECT_EQ(received, 0u);
    received = 99;
    EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));  // still raised
    EXPECT_EQ(received, 0u);
    wake.Clear();
    EXPECT_FALSE(wake.IsRaised());
    wake.Raise();
    ASSERT_EQ(pair.client.SendBytes("qr", 2), 2);
    EXPECT_GT(recv_to(pair.accepted->Handle(), buffer, 8, MSG_PEEK, 1000), 0);
    EXPECT_EQ(Receive(*pair.accepted, 2), "qr");  // pending data wins over the signal
}

// Raised before the send, the wake signal lets out what finds room and ends
// the send that finds none (a send limit and the socket's own send timeout
// end it as the fault table's and the server's non-reading peers show).
TEST(SocketTest, ARaisedWakeSignalEndsTheSendThatFindsNoRoom) {
    Pair pair;  // the accepted end reads nothing
    WakeSignal wake;
    pair.client.SetWakeSignal(&wake);
    wake.Raise();
    const std::string chunk(65536, 'x');
    int sent = 0;
    while (pair.client.SendBytes(chunk.data(), chunk.size()) == 65536)
        ++sent;
    EXPECT_GT(sent, 0);
}

TEST(SocketTest, FailedConnectAndBindReportTheirReasonWithoutThrowing) {
    int closedPort;
    {
        SocketServer server(0, 1, WaitingSelect, "127.0.0.1");
        closedPort = server.Port();
    }
    const SocketClient unknown("no-such-host.invalid", 80);
    EXPECT_FALSE(unknown.IsOpen());
    EXPECT_EQ(unknown.Error(), "");
    const SocketClient refused("127.0.0.1", closedPort);
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_EQ(refused.Error(), std::strerror(ECONNREFUSED));

    SocketServer first(0, 1, WaitingSelect, "127.0.0.1");
    test::CapturedLog capture;
    SocketServer second(first.Port(), 1, WaitingSelect, "127.0.0.1");
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.Error(), std::strerror(EADDRINUSE));
    EXPECT_EQ(
        capture.Messages(),
        std::vector<std::string>{"ERROR: vrelay socket failed to bind to port " +
                                 std::to_string(first.Port()) + ": " + std::strerror(EADDRINUSE)});
}

// A listener with a full backlog that never accepts: further connection
// attempts hang in the handshake until the client gives up.
TEST(SocketTest, ConnectToAServerThatNoLongerAcceptsEndsAtItsTimeLimit) {
    SocketServer full(0, 0, WaitingSelect, "127.0.0.1");
    std::vector<std::unique_ptr<SocketClient>> fillers;
    bool hung = false;
    for (int i = 0; i < 64 && !hung; ++i) {
        const auto started = Clock::now();
        fillers.push_back(std::make_unique<SocketClient>("127.0.0.1", full.Port(), 200));
        hung = !fillers.back()->IsOpen();
        if (hung) {
            EXPECT_EQ(fillers.back()->Error(), std::strerror(ETIMEDOUT));
            EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
        }
    }
    EXPECT_TRUE(hung) << "the backlog never filled";
}

TEST(SocketTest, ConnectsOverIpv6Loopback) {
    auto pair = std::make_unique<Pair>("::1");
    if (!pair->client.IsOpen())
        GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_EQ(pair->client.SendBytes("6", 1), 1);
    EXPECT_EQ(Receive(*pair->accepted, 1), "6");
}

}  // namespace
}  // namespace vrelay
