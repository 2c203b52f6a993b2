// SPDX-License-Identifier: MIT
// Tick arithmetic over TickCount32, the same on every platform.
#include "platform/clock.h"

namespace vrelay {

int64_t GetCurrentTicks() {
    return static_cast<int64_t>(TickCount32());
}

int64_t GetTickDifference(int64_t start, int64_t now) {
    if (now >= start) {
        return now - start;
    }
    return now + 0xFFFFFFFFLL - start;
}

}  // namespace vrelay
