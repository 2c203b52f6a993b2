// SPDX-License-Identifier: MIT
// The logger: counters, thresholds, stored lines, output line format, files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <tuple>

#include "textproc/scanner/configsettings.h"
#include "textproc/scanner/logger.h"
#include "textproc/toolkit/dystr.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

struct LoggerDeleter {
    void operator()(KVTP_logger* l) const { KVTP_logger_delete(l); }
};
using Logger = std::unique_ptr<KVTP_logger, LoggerDeleter>;

// A TPC logger over the built-in configuration with the given attributes of
// group `log` laid over it ("" for none). What creation prints on standard
// output and error is swallowed, or stored in `created`.
Logger MakeLogger(const std::string& log_attrs, std::string* created = nullptr) {
    KVTP_config* over = KVTP_config_new("tpconfig", -1);
    KVTP_config_load(over, ("<tpconfig><log " + log_attrs + "/></tpconfig>").c_str(), -1);
    KVTP_configsettings* s = KVTP_configsettings_new(KVTP_config_new_default(), over);
    CaptureStderr();
    CaptureStdout();
    Logger l(KVTP_logger_new("TPC", 3, s));
    const std::string text = GetCapturedStdout() + GetCapturedStderr();
    if (created != nullptr)
        *created = text;
    KVTP_configsettings_delete(s);
    return l;
}

// A directory removed with everything in it when the test ends.
struct TempDir {
    std::string path = [] {
        char pattern[] = "/tmp/logger_testXXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Output lines are "<ctime stamp with _ for spaces> <name> : <line>\n"; this
// takes out each line's stamp, so a line without one stays as it is.
std::string Unstamped(const std::string& out) {
    static const std::regex kStamp(
        "(^|\n)[A-Z][a-z]{2}_[A-Z][a-z]{2}_[_0-9][0-9]_\\d\\d:\\d\\d:\\d\\d_\\d{4} ");
    return std::regex_replace(out, kStamp, "$1");
}

std::string Stored(const KVTP_logger* l) {
    KVTP_dystr* s = KVTP_dystr_new("", 0);
    KVTP_logger_print(l, s);
    std::string text = KVTP_dystr_cstr(s);
    KVTP_dystr_delete(s);
    return text;
}

TEST(LoggerOutput, EachLineReachesTheStreamsItsSettingsChooseAndIsAlwaysCounted) {
    std::string created;
    MakeLogger("", &created);
    EXPECT_EQ("", created);  // the built-in settings write nothing at creation
    // clang-format off
    const struct { const char* settings; int32_t level; bool out, err; } rows[] = {
        {"", KVTP_LOG_WARN, false, false},  // built-in settings: warnings go nowhere
        {"", KVTP_LOG_ERROR, false, true},  // errors always reach standard error
        {"loglevel='warn' logstderr='True'", KVTP_LOG_WARN, false, true},
        {"loglevel='warn' logstderr='True'", KVTP_LOG_INFO, false, false},
        {"loglevel='warn' logstdout='True'", KVTP_LOG_WARN, true, false},
        {"log='False' logstore='True' logstderr='True'", KVTP_LOG_CRITICAL, false, false}};
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.settings) + " " + KVTP_logger_level_name(row.level));
        Logger l = MakeLogger(row.settings);
        CaptureStderr();
        CaptureStdout();
        EXPECT_EQ(1, KVTP_logger_log(l.get(), row.level, "m", "t", "x", ""));
        const std::string line =
            std::string("TPC : m [") + KVTP_logger_level_name(row.level) + "] t : x\n";
        EXPECT_EQ(row.out ? line : "", Unstamped(GetCapturedStdout()));
        EXPECT_EQ(row.err ? line : "", Unstamped(GetCapturedStderr()));
        EXPECT_EQ(2, KVTP_logger_no_messages(l.get()));
        EXPECT_EQ(row.level == KVTP_LOG_WARN, KVTP_logger_no_warnings(l.get()));
        EXPECT_EQ(row.level >= KVTP_LOG_ERROR, KVTP_logger_no_errors(l.get()));
        EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));
    }
}

TEST(LoggerOutput, WithoutSettingsLogsEverythingToStandardError) {
    CaptureStderr();
    Logger l(KVTP_logger_new("unit", -1, nullptr));
    KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "t", "x", "d");
    EXPECT_EQ(
        "unit : LOGGER [INFO] log created : new log has been created with default values\n"
        "unit : m [DEBUG] t : x : d\n",
        Unstamped(GetCapturedStderr()));
}

TEST(LoggerLevels, LevelSettingIsReadWithoutRegardToCaseAndAnUnknownOneIsAnError) {
    for (const auto& [value, level, errors] :
         {std::tuple{"WaRn", 2, 0}, {"none", 5, 0}, {"All", 0, 0}, {"verbose", 0, 1}}) {
        std::string err;
        Logger l = MakeLogger(std::string("loglevel='") + value + "'", &err);
        EXPECT_EQ(level, KVTP_logger_loglevel(l.get())) << value;
        EXPECT_EQ(errors, KVTP_logger_no_errors(l.get())) << value;
        EXPECT_EQ(1 + errors, KVTP_logger_no_messages(l.get())) << value;
        const std::string bad =
            "TPC : LOGGER [ERROR] log initialisation error : Invalid log level : " +
            std::string(value) + "\n";
        EXPECT_EQ(errors ? bad : "", Unstamped(err)) << value;
    }
}

TEST(LoggerStore, KeepsTheLinesAtOrAboveTheThresholdWithTheirLevels) {
    Logger l = MakeLogger("loglevel='warn' logstore='TRUE'");
    CaptureStderr();
    for (int32_t level = KVTP_LOG_DEBUG; level <= KVTP_LOG_CRITICAL; ++level)
        KVTP_logger_log(l.get(), level, "mod", "title", "message",
                        level == KVTP_LOG_WARN ? "" : "detail");
    GetCapturedStderr();
    EXPECT_EQ(
        "mod [WARN] title : message\nmod [ERROR] title : message : detail\n"
        "mod [CRITICAL] title : message : detail\n",
        Stored(l.get()));
    EXPECT_EQ(KVTP_LOG_CRITICAL, KVTP_logger_lvl(l.get(), 2));
    EXPECT_EQ(-1, KVTP_logger_lvl(l.get(), 3));
    EXPECT_EQ(nullptr, KVTP_logger_msg(l.get(), -1));
}

TEST(LoggerErrors, CodesLogTheirNameAndLevelUnderTheLastModule) {
    Logger l = MakeLogger("logstore='True'");  // module output off
    EXPECT_EQ(1, KVTP_logger_set_level(l.get(), KVTP_LOG_DEBUG));
    KVTP_logger_set_error(l.get(), 42, "what", "");
    EXPECT_EQ(0, KVTP_logger_logmodule(l.get(), "out", "tokenise", 1, "text"));
    KVTP_logger_set_error(l.get(), KVTP_ERR_MISSING_FILE, "m", "");
    EXPECT_EQ(
        "LOGGER [INFO] log created : new log has been created successfully\n"
        "LOGGER [DEBUG] logger function call : Set logging level : DEBUG\n"
        "PRE_DEF [WARN] Attempted set of unknown error type : what\n"
        "tokenise [WARN] Missing file : m\n",
        Stored(l.get()));
    EXPECT_EQ(2, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerFile, LinesGoToTheFileUntilItIsUnsetOrCannotBeOpened) {
    TempDir dir;
    Logger l = MakeLogger("logstore='True'");
    ASSERT_EQ(1, KVTP_logger_set_logfile(l.get(), dir.path.c_str()));
    KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "first", "x", "");
    KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "filtered", "x", "");
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "second", "y", "z");
    KVTP_logger_set_logfile(l.get(), "");
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "third", "y", "");
    EXPECT_EQ("TPC : m [INFO] first : x\nTPC : m [WARN] second : y : z\n",
              Unstamped(ReadFile(dir.path + "/TPC.log")));

    // The failed line is counted but not stored: code 16 takes its place, and
    // file logging is off from then on, so the next line goes out normally.
    KVTP_logger_set_logfile(l.get(), "/nonexistent/dir");
    EXPECT_EQ(0, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "one", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "two", ""));
    const int32_t n = KVTP_logger_no_stored(l.get());
    EXPECT_STREQ(
        "PRE_DEF [WARN] Log file missing : Logger cannot print to file : /nonexistent/dir/TPC.log",
        KVTP_logger_msg(l.get(), n - 2));
    EXPECT_STREQ("m [INFO] t : two", KVTP_logger_msg(l.get(), n - 1));
    EXPECT_EQ(3, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(8, KVTP_logger_no_messages(l.get()));
}

TEST(LoggerFile, ModuleTextGoesToItsOwnFileStartedOrAppendedByMode) {
    TempDir dir;
    Logger l = MakeLogger(
        "logstore='True' logmoduleoutput='True' logtofile='True' loglevel='debug' logdir='" +
        dir.path + "'");
    for (const auto& [mode, text, file] : {std::tuple{1, "abc", "abc"},
                                           {2, "def", "abcdef"}, {0, "ghi", "abcdefghi"},
                                           {-1, "xyz", "xyz"}}) {
        EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", mode, text));
        EXPECT_EQ(file, ReadFile(dir.path + "/MOD_out.log")) << mode;
    }
    EXPECT_EQ(0, KVTP_logger_logmodule(l.get(), "out", "missing/MOD", 1, "abc"));
    EXPECT_EQ("missing/MOD [WARN] Missing file : Cannot open module log file : " + dir.path +
                  "/missing/MOD_out.log",
              KVTP_logger_msg(l.get(), KVTP_logger_no_stored(l.get()) - 1));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerResets, ResetsClearStoreAndCountersAndModuleResetOnlyWhenConfiguredTo) {
    // clang-format off
    const struct { const char* settings; int (*reset)(KVTP_logger*); int32_t errors, messages;
                   const char* stored; } rows[] = {
        {"logstore='True'", KVTP_logger_reset, 0, 1, ""},  // 1: the reset's own line
        {"logstore='True'", KVTP_logger_module_reset, 0, 0, ""},
        {"logstore='True' logmoduleclear='False' loglevel='DEBUG'", KVTP_logger_module_reset, 1, 3,
         "LOGGER [INFO] log created : new log has been created successfully\nm [ERROR] t : x\n"
         "LOGGER [DEBUG] logger function call : module reset : False\n"}};
    // clang-format on
    for (const auto& row : rows) {
        Logger l = MakeLogger(row.settings);
        CaptureStderr();
        KVTP_logger_log(l.get(), KVTP_LOG_ERROR, "m", "t", "x", "");
        GetCapturedStderr();
        EXPECT_EQ(1, row.reset(l.get()));
        EXPECT_EQ(row.errors, KVTP_logger_no_errors(l.get())) << row.settings;
        EXPECT_EQ(row.messages, KVTP_logger_no_messages(l.get())) << row.settings;
        EXPECT_EQ(row.stored, Stored(l.get())) << row.settings;
    }
}

}  // namespace
