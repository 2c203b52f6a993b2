// SPDX-License-Identifier: MIT
#include "platform/start_failures.h"

#ifdef VRELAY_TEST_HOOKS
#include <atomic>

#include "platform/thread.h"

namespace vrelay {

namespace {
// Remaining forced failures of Start.
std::atomic<int> g_fail_next_starts{0};
}  // namespace

bool ConsumeForcedStartFailure() {
    int n = g_fail_next_starts.load();
    while (n > 0) {
        if (g_fail_next_starts.compare_exchange_weak(n, n - 1)) {
            return true;
        }
    }
    return false;
}

void Thread::FailNextStarts(int n) {
    g_fail_next_starts.store(n < 0 ? 0 : n);
}

}  // namespace vrelay
#endif
