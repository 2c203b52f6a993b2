// SPDX-License-Identifier: MIT
#include <windows.h>

#include "platform/clock.h"

namespace vrelay {

void SleepMilliseconds(uint32_t ms) {
    // Sleep(0) gives up the rest of the time slice, as the yield on POSIX.
    ::Sleep(ms);
}

uint32_t TickCount32() {
    return ::GetTickCount();
}

UtcTime UtcNow() {
    SYSTEMTIME st;
    ::GetSystemTime(&st);
    return UtcTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                   st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace vrelay
