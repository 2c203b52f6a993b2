#include "transport/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
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

int Pending(const Socket& socket) {
    int pending = -1;
    ::ioctl(static_cast<int>(socket.Handle()), FIONREAD, &pending);
    return pending;
}

// Polls until done() holds; false after 10 s. Loopback delivers at once in
// practice, so this only guards the rare slow case.
template <typename Done>
bool Eventually(Done done) {
    for (auto deadline = Clock::now() + std::chrono::seconds(10); !done();
         std::this_thread::yield()) {
        if (Clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

bool WaitPending(const Socket& socket, int n) {
    return Eventually([&] { return Pending(socket) >= n; });
}

// True once thread tid sleeps in the kernel (state S), i.e. is parked in its
// wait, so that what happens next happens while the reader waits.
bool WaitUntilSleeping(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    return Eventually([&] {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        const size_t paren = line.rfind(')');
        return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
    });
}

// One ReceiveBytes of at most max bytes: what it got, or "<closed>" when it
// failed (with nothing received, as it must).
std::string Receive(Socket& socket, size_t max) {
    char buffer[16];
    size_t received = 99;
    if (!socket.ReceiveBytes(buffer, std::min(max, sizeof buffer), &received)) {
        return received == 0 ? "<closed>" : "<closed with bytes>";
    }
    return std::string(buffer, received);
}

// One Receive on another thread, parked in its wait once constructed.
struct BackgroundReceive {
    BackgroundReceive(Socket& socket, size_t max) {
        thread = std::thread([this, &socket, max] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            result = Receive(socket, max);
            finished_at = Clock::now();
        });
        EXPECT_TRUE(Eventually([this] { return tid.load() != 0; }) && WaitUntilSleeping(tid));
    }
    ~BackgroundReceive() { Join(); }
    void Join() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::thread thread;
    std::atomic<pid_t> tid{0};
    std::string result;
    Clock::time_point finished_at;
};

TEST(SocketTest, ReceiveWaitsForDataThenTakesAtMostMaxOfWhatIsPending) {
    Pair pair;
    BackgroundReceive reader(*pair.accepted, 2);
    EXPECT_EQ(pair.client.SendBytes("abc", 0), 0);  // sends nothing
    ASSERT_EQ(pair.client.SendBytes("xyz", 3), 3);
    reader.Join();
    EXPECT_EQ(reader.result, "xy");
    ASSERT_EQ(pair.client.SendBytes("de", 2), 2);
    ASSERT_TRUE(WaitPending(*pair.accepted, 3));
    EXPECT_EQ(Receive(*pair.accepted, 2), "zd");
    EXPECT_EQ(Receive(*pair.accepted, 8), "e");
}

TEST(SocketTest, PeerCloseEndsReceiveSilentlyAndOwnCloseIsLogged) {
    test::CapturedLog capture;
    Pair pair;
    ASSERT_EQ(pair.client.SendBytes("ab", 2), 2);
    pair.client.Close();
    EXPECT_EQ(Receive(*pair.accepted, 8), "ab");  // sent before the close
    EXPECT_EQ(Receive(*pair.accepted, 8), "<closed>");
    EXPECT_EQ(capture.Text(), "");

    pair.accepted->Close();
    pair.accepted->Close();  // idempotent
    EXPECT_EQ(Receive(*pair.accepted, 8), "<closed>");
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"ERROR: vrelay socket closed, cannot receive bytes"});
}

TEST(SocketTest, ReceiveLimitAndTimedReceiveEndTheWaitWithNothing) {
    Pair pair;
    char buffer[8];
    EXPECT_EQ(recv_to(pair.accepted->Handle(), buffer, 8, 0, 10), -2);
    EXPECT_EQ(recv_to(kInvalidSocket, buffer, 8, 0, 10), -2);
    pair.accepted->SetReceiveLimit(50);
    const auto start = Clock::now();
    EXPECT_EQ(Receive(*pair.accepted, 4), "");
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(45));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    // Data that is there is still read at once.
    ASSERT_EQ(pair.client.SendBytes("qr", 2), 2);
    ASSERT_TRUE(WaitPending(*pair.accepted, 2));
    EXPECT_EQ(Receive(*pair.accepted, 1), "q");
    EXPECT_EQ(recv_to(pair.accepted->Handle(), buffer, 8, 0, 1000), 1);
}

TEST(SocketTest, WakeSignalEndsWaitFromAnotherThreadAndStaysRaisedUntilCleared) {
    Pair pair;
    WakeSignal wake;
    pair.accepted->SetWakeSignal(&wake);
    BackgroundReceive reader(*pair.accepted, 4);
    const auto raised_at = Clock::now();
    wake.Raise();
    reader.Join();
    const auto latency =
        std::chrono::duration_cast<std::chrono::microseconds>(reader.finished_at - raised_at);
    std::printf("wake-up latency: %lld us\n", static_cast<long long>(latency.count()));
    RecordProperty("wake_latency_us", static_cast<int>(latency.count()));
    EXPECT_EQ(reader.result, "");
    EXPECT_LT(latency, std::chrono::seconds(2));

    wake.Raise();
    EXPECT_EQ(Receive(*pair.accepted, 4), "");  // still raised
    wake.Clear();
    EXPECT_FALSE(wake.IsRaised());
    wake.Raise();
    ASSERT_EQ(pair.client.SendBytes("z", 1), 1);
    ASSERT_TRUE(WaitPending(*pair.accepted, 1));
    EXPECT_EQ(Receive(*pair.accepted, 4), "z");  // pending data wins over the signal
}

TEST(SocketTest, FailedConnectAndBindReportTheirReasonWithoutThrowing) {
    int closed_port;
    {
        SocketServer server(0, 1, WaitingSelect, "127.0.0.1");
        closed_port = server.Port();
    }
    struct Row {
        std::string host;
        int port;
        std::string error;
    } rows[] = {
        {"no-such-host.invalid", 80, ""},
        {"127.0.0.1", closed_port, std::strerror(ECONNREFUSED)},
    };
    for (const Row& row : rows) {
        SocketClient client(row.host, row.port);
        EXPECT_FALSE(client.IsOpen()) << row.host;
        EXPECT_EQ(client.Error(), row.error) << row.host;
    }

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

TEST(SocketTest, ConnectToAServerThatNoLongerAcceptsEndsAtItsTimeLimit) {
    // A listener with a full backlog that never accepts: further connection
    // attempts hang in the handshake until the client gives up.
    SocketServer full(0, 0, WaitingSelect, "127.0.0.1");
    std::vector<std::unique_ptr<SocketClient>> fillers;
    bool hung = false;
    for (int i = 0; i < 64 && !hung; ++i) {
        auto started = std::chrono::steady_clock::now();
        auto client = std::make_unique<SocketClient>("127.0.0.1", full.Port(), 200);
        hung = !client->IsOpen();
        if (hung) {
            const auto took = std::chrono::steady_clock::now() - started;
            EXPECT_EQ(client->Error(), std::strerror(ETIMEDOUT));
            EXPECT_LT(took, std::chrono::seconds(5));
        }
        fillers.push_back(std::move(client));
    }
    EXPECT_TRUE(hung) << "the backlog never filled";
}

TEST(SocketTest, ConnectsOverIpv6Loopback) {
    auto pair = std::make_unique<Pair>("::1");
    if (!pair->client.IsOpen()) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    ASSERT_EQ(pair->client.SendBytes("6", 1), 1);
    EXPECT_EQ(Receive(*pair->accepted, 1), "6");
}

TEST(SocketTest, SelectAndPollingAcceptReportReadiness) {
    SocketServer server(0, 1, PollingSelect, "127.0.0.1");
    EXPECT_EQ(server.Accept(), nullptr);
    EXPECT_FALSE(SocketSelect(&server, nullptr, PollingSelect).Readable(&server));
    SocketClient client("127.0.0.1", server.Port());
    EXPECT_TRUE(SocketSelect(&server, nullptr, WaitingSelect).Readable(&server));
    std::unique_ptr<Socket> accepted(server.Accept());
    ASSERT_NE(accepted, nullptr);

    SocketSelect none(accepted.get(), &client, PollingSelect);
    EXPECT_FALSE(none.Readable(accepted.get()) || none.Readable(&client));
    ASSERT_EQ(client.SendBytes("r", 1), 1);
    SocketSelect some(accepted.get(), &client, WaitingSelect);
    EXPECT_TRUE(some.Readable(accepted.get()));
    EXPECT_FALSE(some.Readable(&client));
}

TEST(SocketTest, SendToVanishedPeerFailsWithoutSignal) {
    Pair pair;
    EXPECT_TRUE(pair.client.IsAlive());
    pair.accepted.reset();
    // The first send may still be accepted locally; the peer's reset then
    // makes a later one fail with EPIPE, which must not raise SIGPIPE.
    const std::string chunk(4096, 'x');
    int64_t result = 0;
    for (int i = 0; i < 1000 && result >= 0; ++i) {
        result = pair.client.SendBytes(chunk.data(), chunk.size());
    }
    EXPECT_EQ(result, -1);
}

}  // namespace
}  // namespace vrelay
