// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module_log.h"

#include <ctime>

namespace vrelay {
namespace speechd {

ModuleLog::~ModuleLog() {
    StopDebug();
}

void ModuleLog::SetLevel(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = level;
}

int ModuleLog::Level() {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
}

bool ModuleLog::StartDebug(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (debug_ != nullptr) {
        std::fclose(debug_);
    }
    debug_ = file;
    return true;
}

void ModuleLog::StopDebug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (debug_ != nullptr) {
        std::fclose(debug_);
        debug_ = nullptr;
    }
}

void ModuleLog::Write(int level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level > level_ && debug_ == nullptr) {
        return;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    if (level <= level_) {
        std::fprintf(stderr, "%s sd_vrelay: %s\n", stamp, message.c_str());
    }
    if (debug_ != nullptr) {
        std::fprintf(debug_, "%s sd_vrelay: %s\n", stamp, message.c_str());
        std::fflush(debug_);
    }
}

}  // namespace speechd
}  // namespace vrelay
