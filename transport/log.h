// SPDX-License-Identifier: MIT
// The client log: one time-stamped line per message, on standard error unless
// VRELAY_MESSAGES says otherwise (see MessageRoute).
//
// Line format: "YYYYMMDD HH:MM:SS.mmm LEVEL: message\n", UTC. Messages above the
// reporting level (INFO by default) are neither composed nor written.
#ifndef VRELAY_TRANSPORT_LOG_H
#define VRELAY_TRANSPORT_LOG_H

#include <cstdio>
#include <sstream>
#include <string>

#include "platform/clock.h"

namespace vrelay {

enum TLogLevel {
    logERROR = 0,
    logWARNING,
    logINFO,
    logDEBUG,
    logDEBUG1,
    logDEBUG2,
    logDEBUG3,
    logDEBUG4
};

// Where the library's messages go: its warnings to the application and its
// log lines. Chosen once per process, at the first message, from the
// environment variable VRELAY_MESSAGES:
//   unset or empty  warnings on standard output, log lines on standard error
//   "stderr"        both on standard error
//   "none"          nowhere
//   anything else   the name of a file: both are appended to it; when it
//                   cannot be opened, both go to standard error
// A program that writes its own data to standard output (audio in a pipe,
// say) sets it to "stderr" or a file.
//
// Writing a message never waits for the file nor raises SIGPIPE: a message
// the file does not take at once (a full disk, a FIFO without a reader, or
// whose reader is gone or does not read) is lost, and the first loss in the
// process is reported once on standard error. Standard output and error are
// the application's streams, written as it writes them (without SIGPIPE).
struct MessageRoute {
    FILE* warnings;
    FILE* log;
};
// The route a value of VRELAY_MESSAGES gives (null: unset). Opens the file a
// file name names, without waiting (a FIFO without a reader too); the caller
// owns it.
MessageRoute RouteFor(const char* value);
// The process's route, read from the environment the first time.
const MessageRoute& LibraryMessageRoute();
// Writes one warning line (the text ends in its line feed) where warnings go.
void WriteWarning(const char* message);

// Where log lines go: the route's log stream unless a test redirects it.
class Output2FILE {
  public:
    // The current stream (never changes under a running message); null
    // suppresses all messages.
    static FILE* Stream();
    static void SetStream(FILE* stream);
    // Writes one whole line with a single write, then flushes; a stream that
    // cannot take it loses it (see MessageRoute).
    static void Output(const std::string& line);
};

// One message: Get() writes the stamp and level; the destructor writes the line.
template <typename T>
class Log {
  public:
    Log() = default;
    virtual ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    std::ostringstream& Get(TLogLevel level);

    static TLogLevel ReportingLevel();
    static void SetReportingLevel(TLogLevel level);
    static const char* ToString(TLogLevel level);
    // "20260307 09:05:02.045" for 7 March 2026, 09:05:02.045 UTC.
    static std::string NowTime();

  private:
    std::ostringstream os_;
};

class FILELog : public Log<Output2FILE> {};

// "YYYYMMDD HH:MM:SS.mmm": the stamp that starts every line.
std::string FormatUtcStamp(const UtcTime& time);

// True when a message of this level would be written.
bool LogEnabled(TLogLevel level);

}  // namespace vrelay

// VR_LOG(logWARNING) << "text " << n;  evaluates nothing when suppressed.
#define VR_LOG(level)                   \
    if (!::vrelay::LogEnabled(level)) { \
    } else                              \
        ::vrelay::FILELog().Get(level)

#endif
