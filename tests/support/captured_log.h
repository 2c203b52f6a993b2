// Redirects the client log into memory for the lifetime of the object, at
// INFO level unless told otherwise, and restores both afterwards.
#ifndef VRELAY_TESTS_SUPPORT_CAPTURED_LOG_H
#define VRELAY_TESTS_SUPPORT_CAPTURED_LOG_H

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "transport/log.h"

namespace vrelay {
namespace test {

class CapturedLog {
  public:
    explicit CapturedLog(TLogLevel level = logINFO)
        : file_(std::tmpfile()),
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
        std::string text;
        if (!file_)
            return text;
        std::fflush(file_);
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return text;
    }

    // The lines with their 22-byte time stamps cut off: "LEVEL: message".
    std::vector<std::string> Messages() const {
        std::vector<std::string> lines;
        std::istringstream text(Text());
        for (std::string line; std::getline(text, line);)
            lines.push_back(line.size() > 22 ? line.substr(22) : line);
        return lines;
    }

  private:
    FILE* file_;
    FILE* previous_stream_;
    TLogLevel previous_level_;
};

}  // namespace test
}  // namespace vrelay

#endif
