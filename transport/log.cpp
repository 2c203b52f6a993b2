// SPDX-License-Identifier: MIT
#include "transport/log.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
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

// Set once a lost message has been reported.
std::atomic<bool> g_loss_reported{false};

#ifndef _WIN32
// Opens name to append messages to without ever waiting. The descriptor does
// not block, and a FIFO without a reader is opened all the same (a reader of
// our own is opened and closed around the open), so that what is written
// while nobody reads is lost and a reader that comes later gets what follows.
// Unbuffered: each message is one write, taken whole or lost, never kept for
// later. Null when it cannot be opened.
FILE* OpenMessageFile(const char* name) {
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(name, flags, 0666);
    if (fd < 0 && errno == ENXIO) {
        const int reader = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader >= 0) {
            fd = ::open(name, flags, 0666);
            ::close(reader);
        }
    }
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// Holds SIGPIPE back from this thread while a message is written, so that a
// destination whose reader went away gives an error (EPIPE) instead of ending
// the process. The process's handling of the signal stays the application's.
class PipeSignalHeld {
  public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        already_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~PipeSignalHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

    // Takes back the SIGPIPE a write that failed with EPIPE raised (one that
    // was pending before is not ours, and stays).
    void TakeBackRaised() {
        if (!already_pending_) {
            const timespec now{0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
    }

  private:
    sigset_t pipe_;
    sigset_t previous_;
    bool already_pending_ = false;
};
#endif

// Writes text and flushes it; the error number when it was not written whole.
int WriteWhole(FILE* stream, const char* text) {
#ifndef _WIN32
    PipeSignalHeld held;
#endif
    // One call per message, so that lines from different threads do not
    // interleave inside the stream's buffer.
    errno = 0;
    if (std::fputs(text, stream) >= 0 && std::fflush(stream) == 0) {
        return 0;
    }
    const int error = errno != 0 ? errno : EIO;
#ifndef _WIN32
    if (error == EPIPE) {
        held.TakeBackRaised();
    }
#endif
    std::clearerr(stream);
    return error;
}

// Writes one message to stream. A stream that cannot take it (a full disk, a
// FIFO nobody reads, a reader gone) loses it: the call never waits for it nor
// ends the process. The first loss is reported once, on standard error,
// unless that is where it was lost.
void WriteMessage(FILE* stream, const char* text) {
    const int error = WriteWhole(stream, text);
    if (error == 0 || stream == stderr || g_loss_reported.exchange(true)) {
        return;
    }
    const std::string report = FormatUtcStamp(UtcNow()) +
                               " ERROR: a message was lost: its destination did not take it (" +
                               std::strerror(error) + "); later losses are not reported\n";
    WriteWhole(stderr, report.c_str());
}

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
#ifdef _WIN32
    FILE* file = std::fopen(value, "a");
#else
    FILE* file = OpenMessageFile(value);
#endif
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
    if (stream != nullptr) {
        WriteMessage(stream, message);
    }
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
    if (stream != nullptr) {
        WriteMessage(stream, line.c_str());
    }
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
