// SPDX-License-Identifier: MIT
// The test hook behind Thread::FailNextStarts, shared by the thread
// implementations of every platform; compiled into test builds only (the
// hooked platform objects).
#ifndef VRELAY_PLATFORM_START_FAILURES_H
#define VRELAY_PLATFORM_START_FAILURES_H

#ifdef VRELAY_TEST_HOOKS
namespace vrelay {

// True (and one fewer left) while forced failures of Thread::Start remain.
bool ConsumeForcedStartFailure();

}  // namespace vrelay
#endif

#endif
