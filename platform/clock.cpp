// SPDX-License-Identifier: MIT
#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace vrelay {

void SleepMilliseconds(uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t TickCount32() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

UtcTime UtcNow() {
    auto now = std::chrono::system_clock::now();
    auto ms_total =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    // Floor division so instants before 1970 still split correctly.
    int64_t secs = ms_total / 1000;
    int64_t ms = ms_total % 1000;
    if (ms < 0) {
        ms += 1000;
        secs -= 1;
    }
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return UtcTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,          tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ms)};
}

}  // namespace vrelay
