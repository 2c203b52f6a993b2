#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/thread.h"

namespace vrelay {
namespace {

// A one-shot latch for handing control between threads without sleeps.
class Latch {
  public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

bool TryLockFromOtherThread(RecursiveLock& lock) {
    bool taken = false;
    std::thread other([&] {
        taken = lock.TryLock();
        if (taken) {
            lock.Unlock();
        }
    });
    other.join();
    return taken;
}

TEST(RecursiveLockTest, OwnerMayRelockAndOthersWaitUntilLastUnlock) {
    RecursiveLock lock;
    lock.Lock();
    ASSERT_TRUE(lock.TryLock());
    lock.Lock();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    lock.Unlock();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(lock));
}

TEST(RecursiveLockTest, ScopedLocksExcludeOtherThreads) {
    RecursiveLock lock;
    long counter = 0;  // deliberately not atomic: the lock must protect it
    constexpr int kRounds = 20000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            ScopedLock outer(lock);
            ScopedLock inner(lock);
            long seen = counter;
            counter = seen + 1;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * kRounds);
}

TEST(ThreadTest, IsRunningUntilBodyReturns) {
    Thread thread;
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Joinable());
    Latch release;
    std::atomic<bool> current_inside{false};
    ASSERT_TRUE(thread.Start([&] {
        current_inside = thread.IsCurrent();
        release.Wait();
    }));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.Joinable());
    EXPECT_FALSE(thread.IsCurrent());
    release.Open();
    thread.Join();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Joinable());
    EXPECT_TRUE(current_inside);
}

TEST(ThreadTest, IsRunningDropsBeforeJoin) {
    Thread thread;
    Latch finished;
    ASSERT_TRUE(thread.Start([&] { finished.Open(); }));
    ASSERT_TRUE(finished.Wait());
    // The flag drops right after the body returns; poll for it as the
    // connection code does, without joining.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (thread.IsRunning() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.Joinable());
    thread.Join();
}

TEST(ThreadTest, StartRefusedUntilPreviousThreadJoined) {
    Thread thread;
    Latch release;
    ASSERT_TRUE(thread.Start([&] { release.Wait(); }));
    EXPECT_FALSE(thread.Start([] {}));
    release.Open();
    thread.Join();
    std::atomic<bool> ran{false};
    ASSERT_TRUE(thread.Start([&] { ran = true; }));
    thread.Join();
    EXPECT_TRUE(ran);
}

TEST(ThreadTest, FailNextStartsFailsExactlyThatManyStarts) {
    Thread::FailNextStarts(2);
    Thread thread;
    std::atomic<int> runs{0};
    EXPECT_FALSE(thread.Start([&] { ++runs; }));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Joinable());
    EXPECT_FALSE(thread.Start([&] { ++runs; }));
    EXPECT_TRUE(thread.Start([&] { ++runs; }));
    thread.Join();
    EXPECT_EQ(runs, 1);
}

TEST(ThreadTest, DestructorJoinsRunningThread) {
    std::atomic<bool> done{false};
    Latch started;
    {
        Thread thread;
        ASSERT_TRUE(thread.Start([&] {
            started.Open();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // work, not sync
            done = true;
        }));
        ASSERT_TRUE(started.Wait());
    }
    EXPECT_TRUE(done);
}

TEST(TickTest, DifferenceFollowsWrapRule) {
    struct Case {
        int64_t start;
        int64_t now;
        int64_t expected;
    };
    const Case cases[] = {
        {100, 250, 150},         {250, 250, 0}, {0, 4294967295LL, 4294967295LL},
        {4294967040LL, 16, 271},  // wrapped: 16 + 0xFFFFFFFF - 4294967040
        {4294967295LL, 0, 0},     // one less than a full turn
        {1, 0, 4294967294LL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetTickDifference(c.start, c.now), c.expected)
            << "start " << c.start << " now " << c.now;
    }
}

TEST(TickTest, CurrentTicksAreZeroExtendedAndAdvance) {
    int64_t first = GetCurrentTicks();
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 0xFFFFFFFFLL);
    SleepMilliseconds(50);
    int64_t elapsed = GetTickDifference(first, GetCurrentTicks());
    // A system tick count may step only every 16 ms or so.
    EXPECT_GE(elapsed, 25);
    EXPECT_LT(elapsed, 5000);
}

// The time_t of a UTC calendar time (the C library's own name differs).
std::time_t FromUtc(std::tm* tm) {
#ifdef _WIN32
    return _mkgmtime(tm);
#else
    return timegm(tm);
#endif
}

TEST(UtcTest, NowMatchesSystemUtcClock) {
    std::time_t before = std::time(nullptr);
    UtcTime now = UtcNow();
    std::time_t after = std::time(nullptr);

    std::tm tm{};
    tm.tm_year = now.year - 1900;
    tm.tm_mon = now.month - 1;
    tm.tm_mday = now.day;
    tm.tm_hour = now.hour;
    tm.tm_min = now.minute;
    tm.tm_sec = now.second;
    std::time_t as_utc = FromUtc(&tm);  // a local-time reading would be off by the zone offset
    // time() reads a coarse clock that may trail the precise one a little.
    EXPECT_GE(as_utc, before - 1);
    EXPECT_LE(as_utc, after + 1);
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
}

}  // namespace
}  // namespace vrelay
