// SPDX-License-Identifier: GPL-3.0-or-later
// The module's log: time-stamped lines on standard error (which Speech
// Dispatcher keeps in its log folder) up to the log level, and every line to
// a debug file while DEBUG ON is in force. Safe from any thread.
#ifndef VRELAY_SPEECHD_MODULE_LOG_H
#define VRELAY_SPEECHD_MODULE_LOG_H

#include <cstdio>
#include <mutex>
#include <string>

namespace vrelay {
namespace speechd {

// Speech Dispatcher's levels: 0 nothing, 1 start and exit, 2 errors, 3
// warnings and refused commands, 4 every command, 5 everything.
class ModuleLog {
  public:
    ModuleLog() = default;
    ~ModuleLog();
    ModuleLog(const ModuleLog&) = delete;
    ModuleLog& operator=(const ModuleLog&) = delete;

    void SetLevel(int level);
    int Level();
    // Opens path for appending and writes every line there too; false when
    // it cannot be opened (the previous debug file, if any, stays).
    bool StartDebug(const std::string& path);
    void StopDebug();
    void Write(int level, const std::string& message);

  private:
    std::mutex mutex_;
    int level_ = 3;
    FILE* debug_ = nullptr;
};

}  // namespace speechd
}  // namespace vrelay

#endif
