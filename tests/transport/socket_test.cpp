#include "transport/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// Loopback delivers synchronously in practice; this only guards the rare case
// where the bytes are still on their way.
bool WaitPending(const Socket& socket, int n) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Pending(socket) < n) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

pid_t CurrentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// True once thread tid sleeps in the kernel (state S), i.e. is parked in its
// wait. Ensures a byte sent afterwards arrives while the reader waits.
bool WaitUntilSleeping(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        size_t paren = line.rfind(')');
        if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S') {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// Runs one ReceiveBytes on another thread and reports what it got.
struct BackgroundReceive {
    BackgroundReceive(Socket& socket, size_t max) {
        thread = std::thread([this, &socket, max] {
            tid = CurrentTid();
            ok = socket.ReceiveBytes(buffer, max, &received);
            finished_at = Clock::now();
            done = true;
        });
        while (tid.load() == 0) {
            std::this_thread::yield();
        }
    }
    ~BackgroundReceive() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::thread thread;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    bool ok = false;
    size_t received = 99;
    char buffer[16] = {};
    Clock::time_point finished_at;
};

TEST(SocketTest, SendingZeroBytesSendsNothing) {
    Pair pair;
    EXPECT_EQ(pair.client.SendBytes("abc", 0), 0);
    EXPECT_EQ(pair.client.SendBytes("x", 1), 1);
    char byte = 0;
    size_t received = 0;
    ASSERT_TRUE(pair.accepted->ReceiveBytes(&byte, 4, &received));
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(byte, 'x');
}

TEST(SocketTest, ReceiveTakesAtMostMaxOfWhatIsPending) {
    Pair pair;
    ASSERT_EQ(pair.client.SendBytes("abcde", 5), 5);
    ASSERT_TRUE(WaitPending(*pair.accepted, 5));
    char buffer[8] = {};
    size_t received = 0;
    ASSERT_TRUE(pair.accepted->ReceiveBytes(buffer, 2, &received));
    EXPECT_EQ(std::string(buffer, received), "ab");
    EXPECT_EQ(Pending(*pair.accepted), 3);
    ASSERT_TRUE(pair.accepted->ReceiveBytes(buffer, 8, &received));
    EXPECT_EQ(std::string(buffer, received), "cde");
}

TEST(SocketTest, WaitingReceiveReturnsOnlyTheFirstByte) {
    Pair pair;
    BackgroundReceive reader(*pair.accepted, 10);
    ASSERT_TRUE(WaitUntilSleeping(reader.tid));
    ASSERT_EQ(pair.client.SendBytes("xyz", 3), 3);
    reader.thread.join();
    EXPECT_TRUE(reader.ok);
    EXPECT_EQ(reader.received, 1u);
    EXPECT_EQ(reader.buffer[0], 'x');
    EXPECT_TRUE(WaitPending(*pair.accepted, 2));
}

TEST(SocketTest, PeerCloseEndsReceiveSilently) {
    test::CapturedLog capture;
    Pair pair;
    ASSERT_EQ(pair.client.SendBytes("ab", 2), 2);
    pair.client.Close();
    char buffer[8];
    size_t received = 0;
    // Bytes sent before the close are still delivered.
    ASSERT_TRUE(pair.accepted->ReceiveBytes(buffer, 8, &received));
    EXPECT_EQ(std::string(buffer, received), "ab");
    EXPECT_FALSE(pair.accepted->ReceiveBytes(buffer, 8, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(capture.Text(), "");
}

TEST(SocketTest, ReceiveOnClosedSocketLogsAndFails) {
    test::CapturedLog capture;
    Pair pair;
    pair.accepted->Close();
    pair.accepted->Close();  // idempotent
    char buffer[4];
    size_t received = 7;
    EXPECT_FALSE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    EXPECT_EQ(received, 0u);
    const std::string text = capture.Text();
    EXPECT_NE(text.find(" ERROR: vrelay socket closed, cannot receive bytes\n"), std::string::npos)
        << text;
}

TEST(SocketTest, ReceiveLimitEndsWaitWithNothing) {
    Pair pair;
    pair.accepted->SetReceiveLimit(50);
    char buffer[4];
    size_t received = 7;
    auto start = Clock::now();
    EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(45));
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    // Data that is there is still read at once.
    ASSERT_EQ(pair.client.SendBytes("q", 1), 1);
    ASSERT_TRUE(WaitPending(*pair.accepted, 1));
    ASSERT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    EXPECT_EQ(received, 1u);
}

TEST(SocketTest, WakeSignalEndsWaitFromAnotherThread) {
    Pair pair;
    WakeSignal wake;
    pair.accepted->SetWakeSignal(&wake);
    BackgroundReceive reader(*pair.accepted, 4);
    ASSERT_TRUE(WaitUntilSleeping(reader.tid));
    auto raised_at = Clock::now();
    wake.Raise();
    reader.thread.join();
    auto latency =
        std::chrono::duration_cast<std::chrono::microseconds>(reader.finished_at - raised_at);
    std::printf("wake-up latency: %lld us\n", static_cast<long long>(latency.count()));
    RecordProperty("wake_latency_us", static_cast<int>(latency.count()));
    EXPECT_TRUE(reader.ok);
    EXPECT_EQ(reader.received, 0u);
    EXPECT_LT(latency, std::chrono::seconds(2));
}

TEST(SocketTest, RaisedWakeSignalStaysRaisedUntilCleared) {
    Pair pair;
    WakeSignal wake;
    EXPECT_FALSE(wake.IsRaised());
    wake.Raise();
    wake.Raise();
    EXPECT_TRUE(wake.IsRaised());
    pair.accepted->SetWakeSignal(&wake);
    char buffer[4];
    size_t received = 7;
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
        EXPECT_EQ(received, 0u);
    }
    wake.Clear();
    EXPECT_FALSE(wake.IsRaised());
    pair.accepted->SetReceiveLimit(0);
    EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    // Pending data wins over a raised signal.
    wake.Raise();
    ASSERT_EQ(pair.client.SendBytes("z", 1), 1);
    ASSERT_TRUE(WaitPending(*pair.accepted, 1));
    EXPECT_TRUE(pair.accepted->ReceiveBytes(buffer, 4, &received));
    EXPECT_EQ(received, 1u);
}

TEST(SocketTest, UnknownHostThrowsEmptyString) {
    try {
        SocketClient client("no-such-host.invalid", 80);
        FAIL() << "connected";
    } catch (const std::string& error) {
        EXPECT_EQ(error, "");
    }
}

TEST(SocketTest, RefusedConnectThrowsSystemText) {
    int port;
    {
        SocketServer server(0, 1, WaitingSelect, "127.0.0.1");
        port = server.Port();
    }
    try {
        SocketClient client("127.0.0.1", port);
        FAIL() << "connected";
    } catch (const std::string& error) {
        EXPECT_EQ(error, std::strerror(ECONNREFUSED));
    }
}

TEST(SocketTest, BindFailureLogsPortAndThrows) {
    SocketServer first(0, 1, WaitingSelect, "127.0.0.1");
    const int port = first.Port();
    test::CapturedLog capture;
    const char* error = nullptr;
    try {
        SocketServer second(port, 1, WaitingSelect, "127.0.0.1");
    } catch (const char* e) {
        error = e;
    }
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "INVALID_SOCKET");
    const std::string expected =
        " ERROR: vrelay socket failed to bind to port " + std::to_string(port) + "\n";
    const std::string text = capture.Text();
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST(SocketTest, ConnectsOverIpv6Loopback) {
    std::unique_ptr<Pair> pair;
    try {
        pair = std::make_unique<Pair>("::1");
    } catch (const char*) {
        GTEST_SKIP() << "no IPv6 loopback";
    } catch (const std::string&) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    ASSERT_EQ(pair->client.SendBytes("6", 1), 1);
    char byte = 0;
    size_t received = 0;
    ASSERT_TRUE(pair->accepted->ReceiveBytes(&byte, 1, &received));
    EXPECT_EQ(byte, '6');
}

TEST(SocketTest, PollingServerAcceptsNullWhenNothingPending) {
    SocketServer server(0, 1, PollingSelect, "127.0.0.1");
    EXPECT_EQ(server.Accept(), nullptr);
    SocketSelect idle(&server, nullptr, PollingSelect);
    EXPECT_FALSE(idle.Readable(&server));

    SocketClient client("127.0.0.1", server.Port());
    SocketSelect ready(&server, nullptr, WaitingSelect);
    EXPECT_TRUE(ready.Readable(&server));
    std::unique_ptr<Socket> accepted(server.Accept());
    EXPECT_NE(accepted, nullptr);
}

TEST(SocketTest, SelectReportsWhichSocketIsReadable) {
    Pair pair;
    SocketSelect none(pair.accepted.get(), &pair.client, PollingSelect);
    EXPECT_FALSE(none.Readable(pair.accepted.get()));
    EXPECT_FALSE(none.Readable(&pair.client));
    ASSERT_EQ(pair.client.SendBytes("r", 1), 1);
    SocketSelect some(pair.accepted.get(), &pair.client, WaitingSelect);
    EXPECT_TRUE(some.Readable(pair.accepted.get()));
    EXPECT_FALSE(some.Readable(&pair.client));
}

TEST(SocketTest, TimedReceive) {
    Pair pair;
    char buffer[8];
    EXPECT_EQ(recv_to(pair.accepted->Handle(), buffer, 8, 0, 10), -2);
    ASSERT_EQ(pair.client.SendBytes("hey", 3), 3);
    ASSERT_TRUE(WaitPending(*pair.accepted, 3));
    EXPECT_EQ(recv_to(pair.accepted->Handle(), buffer, 8, 0, 1000), 3);
    EXPECT_EQ(recv_to(kInvalidSocket, buffer, 8, 0, 10), -2);
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

TEST(SocketTest, HandlesAreCloseOnExec) {
    Pair pair;
    WakeSignal wake;
    for (SocketHandle h :
         {pair.server.Handle(), pair.client.Handle(), pair.accepted->Handle(), wake.Handle()}) {
        int flags = ::fcntl(static_cast<int>(h), F_GETFD);
        EXPECT_NE(flags & FD_CLOEXEC, 0) << "handle " << h;
    }
}

TEST(SocketTest, ConnectedStreamsHaveNagleOff) {
    Pair pair;
    for (const Socket* s : {static_cast<const Socket*>(&pair.client),
                            static_cast<const Socket*>(pair.accepted.get())}) {
        int value = 0;
        socklen_t size = sizeof value;
        ASSERT_EQ(
            ::getsockopt(static_cast<int>(s->Handle()), IPPROTO_TCP, TCP_NODELAY, &value, &size),
            0);
        EXPECT_NE(value, 0);
    }
}

}  // namespace
}  // namespace vrelay
