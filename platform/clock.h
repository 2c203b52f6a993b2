// SPDX-License-Identifier: MIT
// Time: sleeping, a 32-bit millisecond tick, and the UTC wall clock.
#ifndef VRELAY_PLATFORM_CLOCK_H
#define VRELAY_PLATFORM_CLOCK_H

#include <cstdint>

namespace vrelay {

// Sleeps at least ms milliseconds; 0 yields the processor.
void SleepMilliseconds(uint32_t ms);

// Milliseconds of a monotonic clock, cut to 32 bits: wraps after 2^32 ms, like
// a system tick count.
uint32_t TickCount32();

// The tick count zero-extended to 64 bits.
int64_t GetCurrentTicks();

// Milliseconds from start to now. When now < start the 32-bit count wrapped:
// the result is now + 0xFFFFFFFF - start (one less than a full turn).
int64_t GetTickDifference(int64_t start, int64_t now);

struct UtcTime {
    int year;
    int month;  // 1-12
    int day;    // 1-31
    int hour;
    int minute;
    int second;
    int millisecond;
};

// The current UTC wall-clock time, to the millisecond.
UtcTime UtcNow();

}  // namespace vrelay

#endif
