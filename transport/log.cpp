// SPDX-License-Identifier: MIT
#include "transport/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace vrelay {

namespace {

std::atomic<FILE*>& StreamSlot() {
    // Initialised on first use; function-local statics are thread-safe.
    static std::atomic<FILE*> stream{LibraryMessageRoute().log};
    return stream;
}

std::atomic<int> g_reporting_level{logINFO};

const char* const kLevelNames[] = {"ERROR",  "WARNING", "INFO",   "DEBUG",
                                   "DEBUG1", "DEBUG2",  "DEBUG3", "DEBUG4"};

}  // namespace

MessageRoute RouteFor(const char* value) {
    if (value == nullptr || *value == '\0') {
        return {stdout, stderr};
    }
    if (std::strcmp(value, "stderr") == 0) {
        return {stderr, stderr};
    }
    if (std::strcmp(value, "none") == 0) {
        return {nullptr, nullptr};
    }
    FILE* file = std::fopen(value, "a");
    if (file == nullptr) {
        return {stderr, stderr};
    }
    return {file, file};
}

const MessageRoute& LibraryMessageRoute() {
    // Read once; the file, if any, stays open for the life of the process.
    static const MessageRoute route = RouteFor(std::getenv("VRELAY_MESSAGES"));
    return route;
}

void WriteWarning(const char* message) {
    FILE* stream = LibraryMessageRoute().warnings;
    if (stream == nullptr) {
        return;
    }
    std::fputs(message, stream);
    std::fflush(stream);
}

std::string FormatUtcStamp(const UtcTime& t) {
    char buffer[100];
    std::snprintf(buffer, sizeof buffer, "%d%02d%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond);
    return buffer;
}

FILE* Output2FILE::Stream() {
    return StreamSlot().load();
}

void Output2FILE::SetStream(FILE* stream) {
    StreamSlot().store(stream);
}

void Output2FILE::Output(const std::string& line) {
    FILE* stream = Stream();
    if (stream == nullptr) {
        return;
    }
    // One formatted write per line, so lines from different threads do not
    // interleave inside the stream's buffer.
    std::fprintf(stream, "%s", line.c_str());
    std::fflush(stream);
}

template <typename T>
Log<T>::~Log() {
    os_ << '\n';
    T::Output(os_.str());
}

template <typename T>
std::ostringstream& Log<T>::Get(TLogLevel level) {
    os_ << NowTime() << ' ' << ToString(level) << ": ";
    return os_;
}

template <typename T>
TLogLevel Log<T>::ReportingLevel() {
    return static_cast<TLogLevel>(g_reporting_level.load());
}

template <typename T>
void Log<T>::SetReportingLevel(TLogLevel level) {
    g_reporting_level.store(level);
}

template <typename T>
const char* Log<T>::ToString(TLogLevel level) {
    int index = static_cast<int>(level);
    if (index < 0 || index > static_cast<int>(logDEBUG4)) {
        return "UNKNOWN";
    }
    return kLevelNames[index];
}

template <typename T>
std::string Log<T>::NowTime() {
    return FormatUtcStamp(UtcNow());
}

template class Log<Output2FILE>;

bool LogEnabled(TLogLevel level) {
    return level <= FILELog::ReportingLevel() && Output2FILE::Stream() != nullptr;
}

}  // namespace vrelay
