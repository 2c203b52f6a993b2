#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "textproc/configsettings.h"
#include "textproc/dystr.h"
#include "textproc/logger.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

struct LoggerDeleter {
    void operator()(KVTP_logger* l) const { KVTP_logger_delete(l); }
};
using Logger = std::unique_ptr<KVTP_logger, LoggerDeleter>;

struct SettingsDeleter {
    void operator()(KVTP_configsettings* s) const { KVTP_configsettings_delete(s); }
};
using Settings = std::unique_ptr<KVTP_configsettings, SettingsDeleter>;

// The built-in configuration, with the given attributes of group `log` laid
// over it ("" for none).
Settings MakeSettings(const std::string& log_attrs) {
    KVTP_config* over = nullptr;
    if (!log_attrs.empty()) {
        over = KVTP_config_new("tpconfig", -1);
        std::string doc = "<tpconfig><log " + log_attrs + "/></tpconfig>";
        KVTP_config_load(over, doc.data(), -1);
    }
    return Settings(KVTP_configsettings_new(KVTP_config_new_default(), over));
}

// A TPC logger made from settings, with its creation output swallowed.
Logger MakeLogger(const std::string& log_attrs) {
    Settings s = MakeSettings(log_attrs);
    CaptureStderr();
    CaptureStdout();
    Logger l(KVTP_logger_new("TPC", 3, s.get()));
    GetCapturedStdout();
    GetCapturedStderr();
    return l;
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/logger_testXXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The line a logger at threshold INFO or DEBUG writes when it is created.
const char kCreated[] = "LOGGER [INFO] log created : new log has been created successfully";

// Output lines are "<ctime stamp with _ for spaces> <name> : <line>".
const char kStamp[] = "[A-Z][a-z]{2}_[A-Z][a-z]{2}_[_0-9][0-9]_[0-9]{2}:[0-9]{2}:[0-9]{2}_[0-9]{4}";

bool IsOutputLine(const std::string& out, const std::string& name, const std::string& line) {
    return std::regex_match(
        out, std::regex(std::string(kStamp) + " " + name + " : " +
                        std::regex_replace(line, std::regex(R"([\[\]\{\}\.])"), R"(\$&)") + "\n"));
}

TEST(LoggerDefaults, WarningsAreCountedButPrintedNowhere) {
    Settings s = MakeSettings("");
    CaptureStderr();
    CaptureStdout();
    Logger l(KVTP_logger_new("TPC", 3, s.get()));
    KVTP_logger_set_error(l.get(), KVTP_ERR_MISSING_FILE, "tpc config does not exist", "x.xml");
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(KVTP_LOG_INFO, KVTP_logger_loglevel(l.get()));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(2, KVTP_logger_no_messages(l.get()));
    EXPECT_EQ(0, KVTP_logger_modulelogging(l.get()));
}

TEST(LoggerDefaults, CriticalEventsReachStandardErrorAnyway) {
    Logger l = MakeLogger("");
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(
        1, KVTP_logger_set_error(l.get(), KVTP_ERR_CRITICAL_MESSAGE, "Invalid channel type", ""));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "TPC",
                             "PRE_DEF [CRITICAL] Message : Invalid channel type"));
    EXPECT_EQ(1, KVTP_logger_no_errors(l.get()));
}

TEST(LoggerDefaults, WithoutSettingsLogsEverythingToStandardError) {
    CaptureStderr();
    Logger l(KVTP_logger_new("unit", -1, nullptr));
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "unit",
                             "LOGGER [INFO] log created : new log has been created with default "
                             "values"));
    EXPECT_EQ(1, KVTP_logger_no_messages(l.get()));
    EXPECT_EQ(KVTP_LOG_DEBUG, KVTP_logger_loglevel(l.get()));
    EXPECT_EQ(1, KVTP_logger_modulelogging(l.get()));
    CaptureStderr();
    KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "t", "x", "d");
    EXPECT_TRUE(IsOutputLine(GetCapturedStderr(), "unit", "m [DEBUG] t : x : d"));
}

TEST(LoggerLevels, LevelSettingIsReadWithoutRegardToCase) {
    const struct {
        const char* value;
        int32_t level;
        int32_t errors;
    } cases[] = {
        {"DEBUG", 0, 0}, {"info", 1, 0}, {"WaRn", 2, 0},    {"error", 3, 0}, {"Critical", 4, 0},
        {"none", 5, 0},  {"All", 0, 0},  {"verbose", 0, 1}, {"", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Settings s = MakeSettings(std::string("loglevel='") + c.value + "'");
        CaptureStderr();
        Logger l(KVTP_logger_new("TPC", 3, s.get()));
        std::string err = GetCapturedStderr();
        EXPECT_EQ(c.level, KVTP_logger_loglevel(l.get()));
        EXPECT_EQ(c.errors, KVTP_logger_no_errors(l.get()));
        EXPECT_EQ(1 + c.errors, KVTP_logger_no_messages(l.get()));
        if (c.errors) {
            EXPECT_TRUE(IsOutputLine(err, "TPC",
                                     std::string("LOGGER [ERROR] log initialisation error : "
                                                 "Invalid log level") +
                                         (c.value[0] ? std::string(" : ") + c.value : "")));
        } else {
            EXPECT_EQ("", err);
        }
    }
}

TEST(LoggerLevels, ThresholdFiltersWritingButNotCounting) {
    Logger l = MakeLogger("loglevel='warn' logstore='TRUE'");
    CaptureStderr();
    for (int32_t level = KVTP_LOG_DEBUG; level <= KVTP_LOG_CRITICAL; ++level) {
        KVTP_logger_log(l.get(), level, "mod", "title", "message",
                        level == KVTP_LOG_WARN ? "" : "detail");
    }
    std::string err = GetCapturedStderr();
    EXPECT_EQ(2, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(6, KVTP_logger_no_messages(l.get()));
    ASSERT_EQ(3, KVTP_logger_no_stored(l.get()));
    EXPECT_EQ(KVTP_LOG_WARN, KVTP_logger_lvl(l.get(), 0));
    EXPECT_STREQ("mod [WARN] title : message", KVTP_logger_msg(l.get(), 0));
    EXPECT_EQ(KVTP_LOG_ERROR, KVTP_logger_lvl(l.get(), 1));
    EXPECT_STREQ("mod [ERROR] title : message : detail", KVTP_logger_msg(l.get(), 1));
    EXPECT_EQ(KVTP_LOG_CRITICAL, KVTP_logger_lvl(l.get(), 2));
    EXPECT_EQ(-1, KVTP_logger_lvl(l.get(), 3));
    EXPECT_EQ(nullptr, KVTP_logger_msg(l.get(), 3));
    // Only ERROR and CRITICAL reach standard error with logstderr off.
    EXPECT_EQ(2, std::count(err.begin(), err.end(), '\n'));
}

TEST(LoggerLevels, LoggerThatIsOffOnlyCounts) {
    Logger l = MakeLogger("log='False' logstore='True' logstderr='True'");
    CaptureStderr();
    KVTP_logger_set_error(l.get(), KVTP_ERR_CRITICAL_MESSAGE, "m", "");
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(1, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));
}

TEST(LoggerLevels, SetLevelAnnouncesDebug) {
    Logger l = MakeLogger("logstore='True'");
    EXPECT_EQ(1, KVTP_logger_set_level(l.get(), KVTP_LOG_DEBUG));
    EXPECT_EQ(KVTP_LOG_DEBUG, KVTP_logger_loglevel(l.get()));
    ASSERT_EQ(2, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ(kCreated, KVTP_logger_msg(l.get(), 0));
    EXPECT_STREQ("LOGGER [DEBUG] logger function call : Set logging level : DEBUG",
                 KVTP_logger_msg(l.get(), 1));
    EXPECT_EQ(2, KVTP_logger_no_messages(l.get()));
}

TEST(LoggerNames, UnknownCodeIsLoggedAsCodeZero) {
    Logger l = MakeLogger("logstore='True'");
    KVTP_logger_set_error(l.get(), 42, "what", "");
    ASSERT_EQ(2, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ("PRE_DEF [WARN] Attempted set of unknown error type : what",
                 KVTP_logger_msg(l.get(), 1));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerFile, LinesAreAppendedToTheLogFile) {
    TempDir dir;
    Logger l = MakeLogger("");
    ASSERT_EQ(1, KVTP_logger_set_logfile(l.get(), dir.path().c_str()));
    EXPECT_EQ(dir.path() + "/TPC.log", KVTP_logger_logfile(l.get()));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "first", "x", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_DEBUG, "m", "filtered", "x", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "second", "y", "z"));
    std::string text = ReadFile(dir.path() + "/TPC.log");
    std::string first = text.substr(0, text.find('\n') + 1);
    EXPECT_TRUE(IsOutputLine(first, "TPC", "m [INFO] first : x"));
    EXPECT_TRUE(IsOutputLine(text.substr(first.size()), "TPC", "m [WARN] second : y : z"));

    KVTP_logger_set_logfile(l.get(), "");
    EXPECT_EQ(nullptr, KVTP_logger_logfile(l.get()));
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "third", "y", "");
    EXPECT_EQ(text, ReadFile(dir.path() + "/TPC.log"));
}

TEST(LoggerFile, UnopenableLogFileIsReportedOnceAndLoggingGoesOn) {
    Logger l = MakeLogger("logstore='True'");
    KVTP_logger_set_logfile(l.get(), "/nonexistent/dir");
    EXPECT_EQ(0, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "one", ""));
    EXPECT_EQ(1, KVTP_logger_log(l.get(), KVTP_LOG_INFO, "m", "t", "two", ""));
    ASSERT_EQ(4, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ(
        "PRE_DEF [WARN] Log file missing : Logger cannot print to file : "
        "/nonexistent/dir/TPC.log",
        KVTP_logger_msg(l.get(), 1));
    // The line that met the failure is not lost.
    EXPECT_STREQ("m [INFO] t : one", KVTP_logger_msg(l.get(), 2));
    EXPECT_STREQ("m [INFO] t : two", KVTP_logger_msg(l.get(), 3));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(4, KVTP_logger_no_messages(l.get()));
}

TEST(LoggerModules, ModuleNameIsRememberedEvenWhenOutputIsOff) {
    Logger l = MakeLogger("logstore='True'");
    EXPECT_EQ(0, KVTP_logger_logmodule(l.get(), "out", "tokenise", 1, "text"));
    KVTP_logger_set_error(l.get(), KVTP_ERR_MISSING_FILE, "m", "");
    EXPECT_STREQ("tokenise [WARN] Missing file : m", KVTP_logger_msg(l.get(), 1));
}

TEST(LoggerModules, ModuleTextGoesToItsOwnFile) {
    TempDir dir;
    Logger l = MakeLogger(
        "logstore='True' logmoduleoutput='True' logtofile='True' loglevel='debug' "
        "logdir='" +
        dir.path() + "'");
    const std::string path = dir.path() + "/MOD_out.log";
    EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", 1, "abc"));
    EXPECT_EQ("abc", ReadFile(path));
    EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", 2, "def"));
    EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", 0, "ghi"));
    EXPECT_EQ("abcdefghi", ReadFile(path));
    EXPECT_EQ(1, KVTP_logger_logmodule(l.get(), "out", "MOD", -1, "xyz"));
    EXPECT_EQ("xyz", ReadFile(path));
    // The creation line, then one announcement per call.
    ASSERT_EQ(5, KVTP_logger_no_stored(l.get()));
    EXPECT_STREQ(
        "LOGGER [DEBUG] Module logging started : module logging has commenced : "
        "{\"module\":\"MOD\",\"level\":\"DEBUG\"}",
        KVTP_logger_msg(l.get(), 1));

    EXPECT_EQ(0, KVTP_logger_logmodule(l.get(), "out", "missing/MOD", 1, "abc"));
    EXPECT_STREQ(("missing/MOD [WARN] Missing file : Cannot open module log file : " + dir.path() +
                  "/missing/MOD_out.log")
                     .c_str(),
                 KVTP_logger_msg(l.get(), KVTP_logger_no_stored(l.get()) - 1));
    EXPECT_EQ(1, KVTP_logger_no_warnings(l.get()));
}

TEST(LoggerResets, ResetClearsStoreAndCounters) {
    Logger l = MakeLogger("logstore='True'");
    KVTP_logger_log(l.get(), KVTP_LOG_WARN, "m", "t", "x", "");
    CaptureStderr();
    KVTP_logger_log(l.get(), KVTP_LOG_ERROR, "m", "t", "x", "");
    GetCapturedStderr();
    EXPECT_EQ(1, KVTP_logger_reset(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_stored(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_errors(l.get()));
    EXPECT_EQ(0, KVTP_logger_no_warnings(l.get()));
    EXPECT_EQ(1, KVTP_logger_no_messages(l.get()));
}

TEST(LoggerResets, ModuleResetClearsOnlyWhenConfiguredTo) {
    Logger clears = MakeLogger("logstore='True'");
    KVTP_logger_log(clears.get(), KVTP_LOG_WARN, "m", "t", "x", "");
    KVTP_logger_module_reset(clears.get());
    EXPECT_EQ(0, KVTP_logger_no_stored(clears.get()));
    EXPECT_EQ(0, KVTP_logger_no_warnings(clears.get()));
    EXPECT_EQ(0, KVTP_logger_no_messages(clears.get()));

    Logger keeps = MakeLogger("logstore='True' logmoduleclear='False' loglevel='DEBUG'");
    int32_t stored = KVTP_logger_no_stored(keeps.get());
    KVTP_logger_log(keeps.get(), KVTP_LOG_WARN, "m", "t", "x", "");
    KVTP_logger_module_reset(keeps.get());
    EXPECT_EQ(1, KVTP_logger_no_warnings(keeps.get()));
    EXPECT_EQ(3, KVTP_logger_no_messages(keeps.get()));
    ASSERT_EQ(stored + 2, KVTP_logger_no_stored(keeps.get()));
    EXPECT_STREQ("LOGGER [DEBUG] logger function call : module reset : False",
                 KVTP_logger_msg(keeps.get(), stored + 1));
}

TEST(LoggerOutput, StandardOutputAndPrinting) {
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
    const std::string stored = std::string(kCreated) + "\nm [INFO] t : x\nm [INFO] t : y\n";
    EXPECT_EQ(stored, KVTP_dystr_cstr(s));
    KVTP_dystr_delete(s);
    CaptureStdout();
    KVTP_logger_printf(l.get());
    EXPECT_EQ("Logger (TPC), level: INFO\n" + stored, GetCapturedStdout());
}

}  // namespace
