// SPDX-License-Identifier: MIT
// This process's memory as the kernel reports it in /proc/self/status.
#pragma once

#include <cstring>
#include <fstream>
#include <string>

namespace vrelay {
namespace test {

// The kilobytes of a field such as "VmRSS:" or "VmHWM:"; -1 without it.
inline long StatusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::strlen(key)));
    }
    return -1;
}

}  // namespace test
}  // namespace vrelay
