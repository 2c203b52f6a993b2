// SPDX-License-Identifier: MIT
// Redirects the client log into memory for the lifetime of the object, at
// INFO level unless told otherwise, and restores both afterwards.
#ifndef VRELAY_TESTS_SUPPORT_CAPTURED_LOG_H
#define VRELAY_TESTS_SUPPORT_CAPTURED_LOG_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "transport/log.h"

namespace vrelay {
namespace test {

class CapturedLog {
  public:
    explicit CapturedLog(TLogLevel level = logINFO)
        : file_(Open()),
          previous_stream_(Output2FILE::Stream()),
          previous_level_(FILELog::ReportingLevel()) {
        Output2FILE::SetStream(file_);
        FILELog::SetReportingLevel(level);
    }
    ~CapturedLog() {
        Output2FILE::SetStream(previous_stream_);
        FILELog::SetReportingLevel(previous_level_);
        if (file_)
            std::fclose(file_);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::string Text() const {
        if (!file_)
            return std::string();
        std::fflush(file_);
#ifdef __GLIBC__
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
#else
        std::string text;
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return text;
#endif
    }

    // The lines with their 22-byte time stamps cut off: "LEVEL: message".
    std::vector<std::string> Messages() const {
        std::vector<std::string> lines;
        std::istringstream text(Text());
        for (std::string line; std::getline(text, line);)
            lines.push_back(line.size() > 22 ? line.substr(22) : line);
        return lines;
    }

#ifdef __GLIBC__
    // Waits until a line holding part has been written, from any thread.
    bool WaitFor(const std::string& part, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout,
                                 [&] { return text_.find(part) != std::string::npos; });
    }
#endif

  private:
#ifdef __GLIBC__
    // The log writes (a line at a time) straight into text_.
    FILE* Open() {
        const cookie_io_functions_t io{nullptr, &CapturedLog::Write, nullptr, nullptr};
        return fopencookie(this, "w", io);
    }
    static ssize_t Write(void* self, const char* data, size_t size) {
        auto* log = static_cast<CapturedLog*>(self);
        {
            std::lock_guard<std::mutex> lock(log->mutex_);
            log->text_.append(data, size);
        }
        log->changed_.notify_all();
        return static_cast<ssize_t>(size);
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
#else
    static FILE* Open() {
        return std::tmpfile();
    }
#endif
    FILE* file_;
    FILE* previous_stream_;
    TLogLevel previous_level_;
};

}  // namespace test
}  // namespace vrelay

#endif
