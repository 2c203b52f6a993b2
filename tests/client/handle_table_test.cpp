#include "client/handle_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vrelay {
namespace {

struct Counted {
    explicit Counted(std::atomic<int>* live) : live_(live) { ++*live_; }
    ~Counted() { --*live_; }
    std::atomic<int>* live_;
};

class HandleTableTest : public ::testing::Test {
  protected:
    int32_t Add() {
        return table_.Add([this] { return new Counted(&live_); });
    }
    bool Remove(int32_t handle) {
        std::shared_ptr<Counted> object;
        bool found = false;
        table_.Remove(handle, &object, &found);
        return found;
    }

    std::atomic<int> live_{0};
    HandleTable<Counted> table_;
};

TEST_F(HandleTableTest, UnknownHandlesChangeNothingAndClearRestartsNumbering) {
    EXPECT_EQ(table_.Lookup(1000), nullptr);
    EXPECT_FALSE(Remove(1000));
    EXPECT_FALSE(Remove(-5));
    EXPECT_EQ(table_.Replace(1000, nullptr), nullptr);
    EXPECT_EQ(Add(), 1000);
    EXPECT_FALSE(Remove(1001));
    EXPECT_EQ(Add(), 1001);
    EXPECT_EQ(table_.Size(), 2u);
    EXPECT_TRUE(Remove(1000));
    table_.Clear();
    EXPECT_EQ(live_.load(), 0);
    EXPECT_EQ(Add(), 1000);
}

TEST_F(HandleTableTest, ObjectsLiveWhileHeldAndReplaceKeepsTheHandle) {
    const int32_t handle = Add();
    auto held = table_.Lookup(handle);
    auto replaced = table_.Replace(handle, std::make_shared<Counted>(&live_));
    EXPECT_EQ(replaced, held);
    EXPECT_NE(table_.Lookup(handle), held);
    EXPECT_TRUE(Remove(handle));
    EXPECT_EQ(table_.Lookup(handle), nullptr);
    EXPECT_EQ(live_.load(), 1);  // the replaced object, still held
    held.reset();
    replaced.reset();
    EXPECT_EQ(live_.load(), 0);
}

TEST_F(HandleTableTest, ConcurrentChurnNeverIssuesALiveHandleTwice) {
    std::atomic<bool> duplicate{false};
    std::mutex liveMutex;
    std::set<int32_t> liveHandles;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            std::vector<int32_t> mine;
            for (int i = 0; i < 500; ++i) {
                const int32_t handle = Add();
                mine.push_back(handle);
                int32_t victim = 0;
                {
                    std::lock_guard<std::mutex> guard(liveMutex);
                    if (!liveHandles.insert(handle).second)
                        duplicate = true;
                    if (i % 3 == 2) {
                        victim = mine[i % mine.size()];
                        liveHandles.erase(victim);
                    }
                }
                if (victim != 0) {
                    mine.erase(std::find(mine.begin(), mine.end(), victim));
                    EXPECT_TRUE(Remove(victim));
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(duplicate.load());
    // Live handles plus the free list cover 1000 up to the highest number
    // issued: refilling the gaps reuses exactly the missing numbers.
    const int32_t highest = *liveHandles.rbegin();
    const size_t gaps = static_cast<size_t>(highest - 1000 + 1) - liveHandles.size();
    for (size_t i = 0; i < gaps; ++i) {
        const int32_t handle = Add();
        EXPECT_LE(handle, highest);
        EXPECT_TRUE(liveHandles.insert(handle).second) << handle;
    }
    EXPECT_EQ(Add(), highest + 1);
}

}  // namespace
}  // namespace vrelay
