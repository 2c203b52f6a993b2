#include "transport/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <thread>
#include <vector>

#include "tests/support/captured_log.h"

namespace vrelay {
namespace {

// True when line is "YYYYMMDD HH:MM:SS.mmm " followed by rest.
bool IsStamped(const std::string& line, const std::string& rest) {
    const std::string shape = "dddddddd dd:dd:dd.ddd ";
    if (line.size() != shape.size() + rest.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return line.compare(shape.size(), std::string::npos, rest) == 0;
}

// Splits text after each line feed; a trailing piece without one is kept.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl + 1 - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

TEST(LogTest, StampPadsEveryField) {
    struct Case {
        UtcTime time;
        const char* expected;
    };
    const Case cases[] = {
        {{2026, 3, 7, 9, 5, 2, 45}, "20260307 09:05:02.045"},
        {{2026, 12, 31, 23, 59, 59, 999}, "20261231 23:59:59.999"},
        {{2000, 1, 1, 0, 0, 0, 0}, "20000101 00:00:00.000"},
        {{1999, 10, 10, 10, 10, 10, 7}, "19991010 10:10:10.007"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatUtcStamp(c.time), c.expected);
    }
}

TEST(LogTest, LevelNames) {
    const char* names[] = {"ERROR",  "WARNING", "INFO",   "DEBUG",
                           "DEBUG1", "DEBUG2",  "DEBUG3", "DEBUG4"};
    for (int level = logERROR; level <= logDEBUG4; ++level) {
        EXPECT_STREQ(FILELog::ToString(static_cast<TLogLevel>(level)), names[level]);
    }
}

TEST(LogTest, DefaultsToInfoOnStandardError) {
    EXPECT_EQ(FILELog::ReportingLevel(), logINFO);
    EXPECT_EQ(Output2FILE::Stream(), stderr);
}

TEST(LogTest, WritesOneStampedLinePerMessageUpToInfo) {
    test::CapturedLog capture;
    VR_LOG(logWARNING) << "unhandled packet type " << 5;
    VR_LOG(logDEBUG) << "not shown";
    VR_LOG(logINFO) << "shown";
    VR_LOG(logERROR) << "bad";

    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(IsStamped(lines[0], "WARNING: unhandled packet type 5\n")) << lines[0];
    EXPECT_TRUE(IsStamped(lines[1], "INFO: shown\n")) << lines[1];
    EXPECT_TRUE(IsStamped(lines[2], "ERROR: bad\n")) << lines[2];
}

TEST(LogTest, SuppressedMessageIsNotEvaluated) {
    test::CapturedLog capture;
    int evaluations = 0;
    auto count = [&] { return ++evaluations; };
    VR_LOG(logDEBUG1) << count();
    EXPECT_EQ(evaluations, 0);

    FILELog::SetReportingLevel(logDEBUG4);
    VR_LOG(logDEBUG1) << count();
    EXPECT_EQ(evaluations, 1);
    EXPECT_NE(capture.Text().find(" DEBUG1: 1\n"), std::string::npos);
}

TEST(LogTest, NullStreamSilencesEverything) {
    test::CapturedLog capture;
    Output2FILE::SetStream(nullptr);
    int evaluations = 0;
    VR_LOG(logERROR) << ++evaluations;
    EXPECT_EQ(evaluations, 0);
    EXPECT_FALSE(LogEnabled(logERROR));
}

TEST(LogTest, LinesFromManyThreadsStayWhole) {
    test::CapturedLog capture;
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                VR_LOG(logINFO) << "thread " << t << " line " << i << " end";
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const std::string& line : lines) {
        // "INFO: thread T line I end\n" with one-digit T.
        const size_t rest = 22;
        ASSERT_GT(line.size(), rest);
        const std::string tail = line.substr(rest);
        EXPECT_TRUE(tail.rfind("INFO: thread ", 0) == 0 && tail.size() > 5 &&
                    tail.compare(tail.size() - 5, 5, " end\n") == 0 && IsStamped(line, tail))
            << line;
    }
}

}  // namespace
}  // namespace vrelay
