// SPDX-License-Identifier: MIT
// Logger of the text-processing library: counts errors, warnings and messages
// under fixed error codes and levels, and writes lines to standard output,
// standard error, a file and an in-memory store as configured by the `log`
// settings group.
//
// A line reads "<module> [<LEVEL>] <title> : <message>[ : <detail>]" and goes
// out as "<time stamp> <logger name> : <line>", the stamp being the C
// library's ctime text with spaces as "_" (Thu_Dec__3_09:15:02_2026). ERROR
// and CRITICAL lines always reach standard error once written.
#ifndef VRELAY_TEXTPROC_LOGGER_H
#define VRELAY_TEXTPROC_LOGGER_H

#include <cstdint>

#include "textproc/scanner/configsettings.h"
#include "textproc/toolkit/dystr.h"

// Levels, lowest first. A logger writes events at or above its threshold;
// threshold NONE writes nothing.
constexpr int32_t KVTP_LOG_DEBUG = 0;
constexpr int32_t KVTP_LOG_INFO = 1;
constexpr int32_t KVTP_LOG_WARN = 2;
constexpr int32_t KVTP_LOG_ERROR = 3;
constexpr int32_t KVTP_LOG_CRITICAL = 4;
constexpr int32_t KVTP_LOG_NONE = 5;

// Error codes; each has a fixed level (see KVTP_logger_error_level).
constexpr int32_t KVTP_ERR_UNKNOWN_TYPE = 0;       // WARN
constexpr int32_t KVTP_ERR_XML_PARSE = 1;          // CRITICAL
constexpr int32_t KVTP_ERR_RESET_DATA_LOSS = 2;    // WARN
constexpr int32_t KVTP_ERR_NO_FLUSH_SIGNAL = 3;    // ERROR
constexpr int32_t KVTP_ERR_DB_OPEN_READ = 4;       // CRITICAL
constexpr int32_t KVTP_ERR_DB_OPEN_WRITE = 5;      // CRITICAL
constexpr int32_t KVTP_ERR_DB_READ_WARNINGS = 6;   // WARN
constexpr int32_t KVTP_ERR_DB_ENDIANNESS = 7;      // WARN
constexpr int32_t KVTP_ERR_DB_INVALID_OBJECT = 8;  // WARN
constexpr int32_t KVTP_ERR_CRITICAL_WRITE = 9;     // CRITICAL
constexpr int32_t KVTP_ERR_CONFIG_FILE = 10;       // WARN
constexpr int32_t KVTP_ERR_INFO_MESSAGE = 11;      // INFO
constexpr int32_t KVTP_ERR_MISSING_FILE = 12;      // WARN
constexpr int32_t KVTP_ERR_CORRUPT_INPUT = 13;     // ERROR
constexpr int32_t KVTP_ERR_ALREADY_EXISTS = 14;    // WARN
constexpr int32_t KVTP_ERR_WARN_MESSAGE = 15;      // WARN
constexpr int32_t KVTP_ERR_LOG_FILE_MISSING = 16;  // WARN
constexpr int32_t KVTP_ERR_CRITICAL_MESSAGE = 17;  // CRITICAL
constexpr int32_t KVTP_ERR_ERROR_MESSAGE = 18;     // ERROR
constexpr int32_t KVTP_ERR_DEBUG_MESSAGE = 19;     // DEBUG
constexpr int32_t KVTP_ERR_COUNT = 20;

struct KVTP_logger;

// A logger named `name` (len < 0: its string length). Without settings it is
// on, writes to standard error at threshold DEBUG and says so at once; with
// settings it follows their `log` group. Null on failure.
KVTP_logger* KVTP_logger_new(const char* name, int32_t len, const KVTP_configsettings* settings);
// Null is accepted.
void KVTP_logger_delete(KVTP_logger* l);

// Counts the event, then writes it when the logger is on and the level is at
// or above the threshold. 0 for a null logger, or when the log file could not
// be opened (file logging then stops, code 16 is logged in place of the line
// and the line itself is dropped), else 1. Null texts count as empty.
int KVTP_logger_log(KVTP_logger* l, int32_t level, const char* module, const char* title,
                    const char* message, const char* detail);
// Logs an event of an error code: its level, its name as title, and as module
// the module of the last module-logging call ("PRE_DEF" before one). A code
// outside the table is logged as code 0.
int KVTP_logger_set_error(KVTP_logger* l, int32_t code, const char* message, const char* detail);
// Module logging: remembers `module` (borrowed; it must outlive its use) as the
// current module. When module output is on and a log file is configured,
// writes `text` to <dir>/<module>_<suffix>.log, truncating it when mode is 1
// or negative and appending otherwise. 0 when module output is off or the
// file cannot be opened, else 1.
int KVTP_logger_logmodule(KVTP_logger* l, const char* suffix, const char* module, int32_t mode,
                          const char* text);

// Empties the store and zeroes errors and warnings (messages becomes 1).
int KVTP_logger_reset(KVTP_logger* l);
// Per-channel reset: when module clear is on, as KVTP_logger_reset but with
// messages 0 as well.
int KVTP_logger_module_reset(KVTP_logger* l);
int KVTP_logger_set_level(KVTP_logger* l, int32_t level);
// Turns the logger on.
int KVTP_logger_set_on(KVTP_logger* l);
// Turns the logger and its in-memory store on.
int KVTP_logger_set_store(KVTP_logger* l);
int KVTP_logger_set_stdout(KVTP_logger* l, int32_t flag);
int KVTP_logger_set_stderr(KVTP_logger* l, int32_t flag);
// Logs to <dir>/<name>.log from now on; a null or empty dir stops file logging.
int KVTP_logger_set_logfile(KVTP_logger* l, const char* dir);

// Counters (0 for a null logger) and threshold (NONE for a null logger).
int32_t KVTP_logger_no_errors(const KVTP_logger* l);
int32_t KVTP_logger_no_warnings(const KVTP_logger* l);
int32_t KVTP_logger_no_messages(const KVTP_logger* l);
int32_t KVTP_logger_loglevel(const KVTP_logger* l);
// Number of stored lines; level and text of stored line i (-1 / null outside).
int32_t KVTP_logger_no_stored(const KVTP_logger* l);
int32_t KVTP_logger_lvl(const KVTP_logger* l, int32_t i);
const char* KVTP_logger_msg(const KVTP_logger* l, int32_t i);
// The module-output flag.
int32_t KVTP_logger_modulelogging(const KVTP_logger* l);
// The log file path, or null when none is configured.
const char* KVTP_logger_logfile(const KVTP_logger* l);

// "DEBUG" .. "NONE"; "UNKNOWN" outside 0..5.
const char* KVTP_logger_level_name(int32_t level);
// Name and level of an error code; codes outside the table give code 0's.
const char* KVTP_logger_error_name(int32_t code);
int32_t KVTP_logger_error_level(int32_t code);

// Appends each stored line and "\n" to s.
int KVTP_logger_print(const KVTP_logger* l, KVTP_dystr* s);
// Prints "Logger (<name>), level: <LEVEL>" and the stored lines on standard
// output.
int KVTP_logger_printf(const KVTP_logger* l);

#endif  // VRELAY_TEXTPROC_LOGGER_H
