// SPDX-License-Identifier: MIT
#include "transport/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
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
        if (line.size() <= shape.size()) {
            return false;
        }
        for (size_t i = 0; i < shape.size(); ++i) {
            const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
            if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
                return false;
            }
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

// Log lines go to standard error, so that standard output stays the program's.
TEST(LogTest, DefaultsToInfoOnStandardError) {
    EXPECT_EQ(FILELog::ReportingLevel(), logINFO);
    EXPECT_EQ(Output2FILE::Stream(), stderr);
}

TEST(LogTest, MessagesGoWhereTheEnvironmentSays) {
    const std::string file = ::testing::TempDir() + "vrelay-messages-" + std::to_string(getpid());
    std::remove(file.c_str());  // process ids repeat under Wine: an old run's file must not count
    const struct {
        const char* value;
        FILE* warnings;  // nullptr for "none"; stdin stands for "the file"
        FILE* log;
    } rows[] = {
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

TEST(LogTest, WritesOneStampedNamedLinePerMessageUpToTheLevel) {
    test::CapturedLog capture;
    for (int level = logERROR; level <= logDEBUG4; ++level) {
        VR_LOG(static_cast<TLogLevel>(level)) << "m" << level;
    }
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"ERROR: m0", "WARNING: m1", "INFO: m2"}));

    test::CapturedLog everything(logDEBUG4);
    for (int level = logDEBUG; level <= logDEBUG4; ++level) {
        VR_LOG(static_cast<TLogLevel>(level)) << level;
    }
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
