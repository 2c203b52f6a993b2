// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/thread.h"

namespace vrelay {
namespace {

bool TryLockFromOtherThread(RecursiveLock& lock) {
    bool taken = false;
    std::thread other([&] {
        taken = lock.TryLock();
        if (taken)
            lock.Unlock();
    });
    other.join();
    return taken;
}

TEST(RecursiveLockTest, OwnerMayRelockAndOthersWaitUntilLastUnlock) {
    RecursiveLock lock;
    lock.Lock();
    ASSERT_TRUE(lock.TryLock());
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(lock));

    long counter = 0;  // not atomic: the lock must protect it
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            ScopedLock outer(lock);
            ScopedLock inner(lock);
            counter = counter + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000L);
}

TEST(ThreadTest, StartsOnceUntilJoinedAndKnowsItsOwnThread) {
    Thread thread;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> currentInside{false};
    ASSERT_TRUE(thread.Start([&] {
        currentInside = thread.IsCurrent();
        released.wait();
    }));
    EXPECT_FALSE(thread.IsCurrent());
    EXPECT_FALSE(thread.Start([] {}));
    release.set_value();
    thread.Join();
    EXPECT_TRUE(currentInside);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(thread.Start([&] { ran = true; }));
    thread.Join();
    EXPECT_TRUE(ran);
}

TEST(ThreadTest, DestructorJoinsRunningThread) {
    std::atomic<bool> done{false};
    std::promise<void> started;
    {
        Thread thread;
        ASSERT_TRUE(thread.Start([&] {
            started.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // work, not sync
            done = true;
        }));
        started.get_future().wait();
    }
    EXPECT_TRUE(done);
}

TEST(TickTest, DifferenceFollowsWrapRuleAndTicksFitIn32Bits) {
    struct Case { int64_t start, now, expected; };
    const Case cases[] = {
        {100, 250, 150},         {250, 250, 0}, {0, 4294967295LL, 4294967295LL},
        {4294967040LL, 16, 271},  // wrapped: 16 + 0xFFFFFFFF - 4294967040
        {4294967295LL, 0, 0},     // one less than a full turn
        {1, 0, 4294967294LL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetTickDifference(c.start, c.now), c.expected) << c.start << " to " << c.now;

    // Ticks stay within 32 bits; that they advance in milliseconds shows in
    // the packet timeouts of the client fault table.
    const int64_t now = GetCurrentTicks();
    EXPECT_GE(now, 0);
    EXPECT_LE(now, 0xFFFFFFFFLL);
}

}  // namespace
}  // namespace vrelay
