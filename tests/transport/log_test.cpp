// SPDX-License-Identifier: MIT
#include "transport/log.h"

#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/captured_log.h"

namespace vrelay {
namespace {

// Every line is "YYYYMMDD HH:MM:SS.mmm LEVEL: message" and ends in a line feed.
bool AllLinesStamped(const std::string& text) {
    const std::string shape = "dddddddd dd:dd:dd.ddd ";
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() <= shape.size())
            return false;
        for (size_t i = 0; i < shape.size(); ++i) {
            const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
            if (shape[i] == 'd' ? !digit : line[i] != shape[i])
                return false;
        }
    }
    return !text.empty() && text.back() == '\n';
}

// Each field padded; stamps are in UTC: they agree with the system clock's
// UTC to the minute.
TEST(LogTest, StampsArePaddedUtcTimes) {
    EXPECT_EQ(FormatUtcStamp({2026, 3, 7, 9, 5, 2, 45}), "20260307 09:05:02.045");
    EXPECT_EQ(FormatUtcStamp({1999, 12, 31, 23, 59, 59, 7}), "19991231 23:59:59.007");
    std::string stamp;
    for (int attempt = 0; attempt < 2; ++attempt) {  // the minute may turn in between
        const std::time_t now = std::time(nullptr);
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y%m%d %H:%M", std::gmtime(&now));
        stamp = FormatUtcStamp(UtcNow());
        if (stamp.compare(0, 14, expected) == 0)
            return;
    }
    ADD_FAILURE() << stamp;
}

TEST(LogTest, MessagesGoWhereTheEnvironmentSays) {
    const std::string file = ::testing::TempDir() + "vrelay-messages-" + std::to_string(getpid());
    std::remove(file.c_str());  // process ids repeat under Wine: an old run's file must not count
    // warnings: nullptr for "none"; stdin stands for "the file"
    const struct { const char* value; FILE* warnings; FILE* log; } rows[] = {
        {nullptr, stdout, stderr},    {"", stdout, stderr},
        {"stderr", stderr, stderr},   {"none", nullptr, nullptr},
        {file.c_str(), stdin, stdin}, {"/nonexistent/folder/messages.log", stderr, stderr},
    };
    for (const auto& row : rows) {
        const MessageRoute route = RouteFor(row.value);
        const char* name = row.value ? row.value : "(unset)";
        if (row.warnings != stdin) {
            EXPECT_EQ(route.warnings, row.warnings) << name;
            EXPECT_EQ(route.log, row.log) << name;
            continue;
        }
        // A file gets both, appended.
        ASSERT_NE(route.log, nullptr);
        EXPECT_EQ(route.warnings, route.log);
        std::fputs("WARNING: w\n", route.warnings);
        std::fclose(route.log);
        const MessageRoute again = RouteFor(row.value);
        std::fputs("ERROR: e\n", again.log);
        std::fclose(again.log);
        std::stringstream text;
        {
            std::ifstream in(
                file);  // closed before the removal: Windows refuses to delete an open file
            text << in.rdbuf();
        }
        EXPECT_EQ(text.str(), "WARNING: w\nERROR: e\n");
        std::remove(file.c_str());
    }
}

#ifndef _WIN32
// Everything a FIFO's reader can read now.
std::string Drain(int reader) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(reader, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

// A destination that does not take a message at once loses it: opening it
// and writing to it never wait and never raise SIGPIPE, and the first loss in
// the process is reported once, on standard error. A FIFO takes the messages
// written once a reader is there.
TEST(LogTest, AMessageItsDestinationDoesNotTakeAtOnceIsLost) {
    const std::string fifo = ::testing::TempDir() + "vrelay-fifo-" + std::to_string(getpid());
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A SIGPIPE raised on this thread stays pending, where the test sees it,
    // whatever the process was told to do with the signal.
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    enum Reader { kNone, kLeft, kNotReading };
    // clang-format off
    const struct { const char* name; std::string path; Reader reader; int messages; } rows[] = {
        {"a FIFO without a reader", fifo, kNone, 1}, {"a FIFO whose reader left", fifo, kLeft, 1},
        {"a FIFO whose reader does not read", fifo, kNotReading, 3000},  // more than it holds
        {"a full disk", "/dev/full", kNone, 1},
    };
    // clang-format on
    ::testing::internal::CaptureStderr();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool isFifo = row.path == fifo;
        int reader = row.reader == kNone ? -1 : ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        auto opening = std::async(std::launch::async, [&] { return RouteFor(row.path.c_str()); });
        if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the open waits for a reader";
            ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets it through
        }
        FILE* file = opening.get().log;
        ASSERT_NE(file, nullptr);
        ASSERT_NE(file, stderr);
        if (row.reader == kLeft) {
            ::close(reader);
            reader = -1;
        }
        FILE* const before = Output2FILE::Stream();
        Output2FILE::SetStream(file);
        for (int i = 0; i < row.messages; ++i)
            VR_LOG(logERROR) << "lost " << i;
        Output2FILE::SetStream(before);
        sigset_t pending;
        ASSERT_EQ(sigpending(&pending), 0);
        if (sigismember(&pending, SIGPIPE) == 1) {
            ADD_FAILURE() << "SIGPIPE raised";
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        if (isFifo) {
            if (reader >= 0) {
                const std::string read = Drain(reader);
                EXPECT_EQ(read.find("lost " + std::to_string(row.messages - 1)), std::string::npos);
                EXPECT_TRUE(read.empty() || read.back() == '\n');
            } else {
                reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            }
            Output2FILE::SetStream(file);
            VR_LOG(logERROR) << "read";
            Output2FILE::SetStream(before);
            const std::string read = Drain(reader);
            EXPECT_NE(read.find("ERROR: read\n"), std::string::npos) << read;
            EXPECT_EQ(read.find("lost"), std::string::npos) << read;
            ::close(reader);
        }
        std::fclose(file);
    }
    const std::string reported = ::testing::internal::GetCapturedStderr();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    std::remove(fifo.c_str());
    EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 1) << reported;
    EXPECT_NE(reported.find("ERROR: a message was lost: its destination did not take it ("),
              std::string::npos)
        << reported;
}
#endif

TEST(LogTest, WritesOneStampedNamedLinePerMessageUpToTheLevel) {
    test::CapturedLog capture;
    for (int level = logERROR; level <= logDEBUG4; ++level)
        VR_LOG(static_cast<TLogLevel>(level)) << "m" << level;
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"ERROR: m0", "WARNING: m1", "INFO: m2"}));

    test::CapturedLog everything(logDEBUG4);
    for (int level = logDEBUG; level <= logDEBUG4; ++level)
        VR_LOG(static_cast<TLogLevel>(level)) << level;
    EXPECT_EQ(everything.Messages(), (std::vector<std::string>{"DEBUG: 3", "DEBUG1: 4", "DEBUG2: 5",
                                                               "DEBUG3: 6", "DEBUG4: 7"}));
    EXPECT_TRUE(AllLinesStamped(capture.Text() + everything.Text()));
}

TEST(LogTest, LinesFromManyThreadsStayWhole) {
    test::CapturedLog capture;
    std::vector<std::thread> threads;
    std::vector<std::string> expected;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 200; ++i)
            expected.push_back("INFO: thread " + std::to_string(t) + " line " + std::to_string(i));
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                VR_LOG(logINFO) << "thread " << t << " line " << i;
        });
    }
    for (auto& thread : threads)
        thread.join();
    auto messages = capture.Messages();
    std::sort(messages.begin(), messages.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(messages, expected);
    EXPECT_TRUE(AllLinesStamped(capture.Text()));
}

}  // namespace
}  // namespace vrelay
