// SPDX-License-Identifier: MIT
// The logger: counters, thresholds, stored lines, output line format, files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

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
    KVTP_config* over = nullptr;
    if (!log_attrs.empty()) {
        over = KVTP_config_new("tpconfig", -1);
        const std::string doc = "<tpconfig><log " + log_attrs + "/></tpconfig>";
        KVTP_config_load(over, doc.data(), -1);
    }
    KVTP_configsettings* s = KVTP_configsettings_new(KVTP_config_new_default(), over);
    CaptureStderr();
    CaptureStdout();
    Logger l(KVTP_logger_new("TPC", 3, s));
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    if (created != nullptr)
        *created = out + err;
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

// Output lines are "<ctime stamp with _ for spaces> <name> : <line>\n".
bool IsOutputLine(const std::string& out, const std::string& name, const std::string& line) {
    static const std::regex kStamp(
        "[A-Z][a-z]{2}_[A-Z][a-z]{2}_[_0-9][0-9]_\\d\\d:\\d\\d:\\d\\d_\\d{4}");
    return out.size() > 24 && std::regex_match(out.substr(0, 24), kStamp) &&
           out.substr(24) == " " + name + " : " + line + "\n";
}

TEST(LoggerDefaults, WarningsAreCountedButPrintedNowhereWhileCriticalReachesStderr) {
    std::string created;
    Logger l = MakeLogger("", &created);
    EXPECT_EQ("", created);
    CaptureStderr();
    CaptureStdout();
    KVTP_logger_set_error(l.get(), KVTP_ERR_MISSING_FILE, "tpc config does not exist", "x.xml");
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(2, KVTP_logger_no_messages(l.get()));
    EXPECT_EQ(
        1, KVTP_logger_set_error(l.get(), KVTP_ERR_CRITICAL_MESSAGE, "Invalid channel type", ""));
    EXPECT_EQ("", GetCapturedStdout());  // only the critical line, on standard error
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "TPC",
                             "PRE_DEF [CRITICAL] Message : Invalid channel type"));
    EXPECT_EQ(1, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));  // nothing is kept in memory
}

TEST(LoggerDefaults, WithoutSettingsLogsEverythingToStandardError) {
    CaptureStderr();
    Logger l(KVTP_logger_new("unit", -1, nullptr));
    EXPECT_TRUE(
        IsOutputLine(GetCapturedStderr(), "unit",
                     "LOGGER [INFO] log created : new log has been created with default values"));
    CaptureStderr();
    KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "t", "x", "d");
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "unit", "m [DEBUG] t : x : d"));
}

TEST(LoggerLevels, LevelSettingIsReadWithoutRegardToCase) {
    // clang-format off
    const struct { const char* value; int32_t level, errors; } cases[] = {
        {"DEBUG", 0, 0}, {"info", 1, 0}, {"WaRn", 2, 0}, {"error", 3, 0}, {"Critical", 4, 0},
        {"none", 5, 0}, {"All", 0, 0}, {"verbose", 0, 1}, {"", 0, 1}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string err;
        Logger l = MakeLogger(std::string("loglevel='") + c.value + "'", &err);
        EXPECT_EQ(c.level, KVTP_logger_loglevel(l.get()));
        EXPECT_EQ(c.errors, KVTP_logger_no_errors(l.get()));
        EXPECT_EQ(1 + c.errors, KVTP_logger_no_messages(l.get()));
        const std::string bad = std::string(c.value).empty() ? "" : std::string(" : ") + c.value;
        if (c.errors)
            EXPECT_TRUE(IsOutputLine(
                err, "TPC", "LOGGER [ERROR] log initialisation error : Invalid log level" + bad));
        else
            EXPECT_EQ("", err);
    }
}

TEST(LoggerLevels, ThresholdFiltersWritingButNotCounting) {
    Logger l = MakeLogger("loglevel='warn' logstore='TRUE'");
    CaptureStderr();
    for (int32_t level = KVTP_LOG_DEBUG; level <= KVTP_LOG_CRITICAL; ++level)
        KVTP_logger_log(l.get(), level, "mod", "title", "message",
                        level == KVTP_LOG_WARN ? "" : "detail");
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(2, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(6, KVTP_logger_no_messages(l.get()));
    ASSERT_EQ(3, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ("mod [WARN] title : message", KVTP_logger_msg(l.get(), 0));
    EXPECT_STREQ("mod [ERROR] title : message : detail", KVTP_logger_msg(l.get(), 1));
    EXPECT_EQ(KVTP_LOG_CRITICAL, KVTP_logger_lvl(l.get(), 2));
    EXPECT_EQ(nullptr, KVTP_logger_msg(l.get(), 3));
    // Only ERROR and CRITICAL reach standard error with logstderr off.
    EXPECT_EQ(2, std::count(err.begin(), err.end(), '\n'));

    // With it on, a WARN line goes there too.
    Logger loud = MakeLogger("loglevel='warn' logstderr='True'");
    CaptureStderr();
    KVTP_logger_log(loud.get(), KVTP_LOG_WARN, "mod", "title", "message", "");
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "TPC", "mod [WARN] title : message"));

    Logger off = MakeLogger("log='False' logstore='True' logstderr='True'");
    CaptureStderr();
    KVTP_logger_set_error(off.get(), KVTP_ERR_CRITICAL_MESSAGE, "m", "");
    EXPECT_EQ("", GetCapturedStderr());  // a logger that is off only counts
    EXPECT_EQ(1, KVTP_logger_no_errors(off.get()));
    EXPECT_EQ(0, KVTP_logger_no_stored(off.get()));
}

TEST(LoggerLevels, SetLevelAnnouncesDebugAndUnknownCodeIsLoggedAsCodeZero) {
    Logger l = MakeLogger("logstore='True'");
    EXPECT_EQ(1, KVTP_logger_set_level(l.get(), KVTP_LOG_DEBUG));
    KVTP_logger_set_error(l.get(), 42, "what", "");
    ASSERT_EQ(3, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ("LOGGER [INFO] log created : new log has been created successfully",
                 KVTP_logger_msg(l.get(), 0));
    EXPECT_STREQ("LOGGER [DEBUG] logger function call : Set logging level : DEBUG",
                 KVTP_logger_msg(l.get(), 1));
    EXPECT_STREQ("PRE_DEF [WARN] Attempted set of unknown error type : what",
                 KVTP_logger_msg(l.get(), 2));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerFile, LinesAreAppendedToTheLogFileUntilItIsUnset) {
    TempDir dir;
    Logger l = MakeLogger("");
    ASSERT_EQ(1, KVTP_logger_set_logfile(l.get(), dir.path.c_str()));
    EXPECT_EQ(dir.path + "/TPC.log", KVTP_logger_logfile(l.get()));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "first", "x", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "filtered", "x", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "second", "y", "z"));
    const std::string text = ReadFile(dir.path + "/TPC.log");
    const std::string first = text.substr(0, text.find('\n') + 1);
    EXPECT_TRUE(IsOutputLine(first, "TPC", "m [INFO] first : x"));
    EXPECT_TRUE(IsOutputLine(text.substr(first.size()), "TPC", "m [WARN] second : y : z"));

    KVTP_logger_set_logfile(l.get(), "");
    EXPECT_EQ(nullptr, KVTP_logger_logfile(l.get()));
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "third", "y", "");
    EXPECT_EQ(text, ReadFile(dir.path + "/TPC.log"));
}

TEST(LoggerFile, UnopenableLogFileIsReportedOnceInPlaceOfTheLine) {
    Logger l = MakeLogger("logstore='True'");
    KVTP_logger_set_logfile(l.get(), "/nonexistent/dir");
    EXPECT_EQ(0, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "one", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "two", ""));
    // The failed line is counted but not stored: code 16 takes its place, and
    // file logging is off from then on, so the next line goes out normally.
    ASSERT_EQ(3, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ(
        "PRE_DEF [WARN] Log file missing : Logger cannot print to file : /nonexistent/dir/TPC.log",
        KVTP_logger_msg(l.get(), 1));
    EXPECT_STREQ("m [INFO] t : two", KVTP_logger_msg(l.get(), 2));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(4, KVTP_logger_no_messages(l.get()));
}

TEST(LoggerModules, ModuleTextGoesToItsOwnFileAndTheModuleNameIsRemembered) {
    Logger quiet = MakeLogger("logstore='True'");  // module output off
    EXPECT_EQ(0, KVTP_logger_logmodule(quiet.get(), "out", "tokenise", 1, "text"));
    KVTP_logger_set_error(quiet.get(), KVTP_ERR_MISSING_FILE, "m", "");
    EXPECT_STREQ("tokenise [WARN] Missing file : m", KVTP_logger_msg(quiet.get(), 1));

    TempDir dir;
    Logger l = MakeLogger(
        "logstore='True' logmoduleoutput='True' logtofile='True' loglevel='debug' logdir='" +
        dir.path + "'");
    const std::string path = dir.path + "/MOD_out.log";
    // Mode 1 starts the file, 2 and 0 append, -1 starts it again.
    for (const auto& [mode, text, file] : {std::tuple{1, "abc", "abc"},
                                           {2, "def", "abcdef"},
                                           {0, "ghi", "abcdefghi"},
                                           {-1, "xyz", "xyz"}}) {
        EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", mode, text));
        EXPECT_EQ(file, ReadFile(path));
    }
    EXPECT_EQ(0, KVTP_logger_logmodule(l.get(), "out", "missing/MOD", 1, "abc"));
    EXPECT_EQ("missing/MOD [WARN] Missing file : Cannot open module log file : " + dir.path +
                  "/missing/MOD_out.log",
              KVTP_logger_msg(l.get(), KVTP_logger_no_stored(l.get()) - 1));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerResets, ResetClearsStoreAndCountersAndModuleResetOnlyWhenConfiguredTo) {
    Logger l = MakeLogger("logstore='True'");
    CaptureStderr();
    KVTP_logger_log(l.get(), KVTP_LOG_ERROR, "m", "t", "x", "");
    GetCapturedStderr();
    EXPECT_EQ(1, KVTP_logger_reset(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(1, KVTP_logger_no_messages(l.get()));  // the reset's own line
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "t", "x", "");
    KVTP_logger_module_reset(l.get());
    EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_warnings(l.get()));

    Logger keeps = MakeLogger("logstore='True' logmoduleclear='False' loglevel='DEBUG'");
    const int32_t stored = KVTP_logger_no_stored(keeps.get());
    KVTP_logger_log(keeps.get(), KVTP_LOG_WARN, "m", "t", "x", "");
    KVTP_logger_module_reset(keeps.get());
    EXPECT_EQ(1, KVTP_logger_no_warnings(keeps.get()));
    EXPECT_EQ(3, KVTP_logger_no_messages(keeps.get()));
    ASSERT_EQ(stored + 2, KVTP_logger_no_stored(keeps.get()));
    EXPECT_STREQ("LOGGER [DEBUG] logger function call : module reset : False",
                 KVTP_logger_msg(keeps.get(), stored + 1));
}

TEST(LoggerOutput, StandardStreamsOnRequestAndPrintingTheStore) {
    Logger l = MakeLogger("logstore='True'");
    KVTP_logger_set_stdout(l.get(), 1);
    CaptureStdout();
    KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "x", "");
    EXPECT_TRUE(IsOutputLine(GetCapturedStdout(), "TPC", "m [INFO] t : x"));
    KVTP_logger_set_stdout(l.get(), 0);
    KVTP_logger_set_stderr(l.get(), 1);
    CaptureStderr();
    KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "y", "");
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "TPC", "m [INFO] t : y"));

    KVTP_dystr* s = KVTP_dystr_new("", 0);
    EXPECT_EQ(1, KVTP_logger_print(l.get(), s));
    EXPECT_STREQ(
        "LOGGER [INFO] log created : new log has been created successfully\nm [INFO] t : x\nm "
        "[INFO] t : y\n",
        KVTP_dystr_cstr(s));
    KVTP_dystr_delete(s);
}

}  // namespace
