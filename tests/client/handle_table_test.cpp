// SPDX-License-Identifier: MIT
#include "client/handle_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vrelay {
namespace {

// Numbering and reuse are checked through the exported functions; this is
// the table under many threads adding and removing at once.
TEST(HandleTableTest, ConcurrentChurnNeverIssuesALiveHandleTwice) {
    HandleTable<int> table;
    std::mutex liveMutex;
    std::set<int32_t> live;
    bool duplicate = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            std::vector<int32_t> mine;
            for (int i = 0; i < 500; ++i) {
                const int32_t handle = table.Add([] { return new int(0); });
                mine.push_back(handle);
                int32_t victim = 0;
                {
                    std::lock_guard<std::mutex> guard(liveMutex);
                    duplicate |= !live.insert(handle).second;
                    if (i % 3 == 2) {
                        victim = mine[i % mine.size()];
                        live.erase(victim);
                    }
                }
                if (victim != 0) {
                    mine.erase(std::find(mine.begin(), mine.end(), victim));
                    EXPECT_NE(table.Remove(victim), nullptr);
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(duplicate);
    // Refilling the gaps up to the highest number reuses exactly the missing ones.
    const int32_t highest = *live.rbegin();
    const size_t gaps = static_cast<size_t>(highest - 1000 + 1) - live.size();
    for (size_t i = 0; i < gaps; ++i)
        EXPECT_TRUE(live.insert(table.Add([] { return new int(0); })).second);
    EXPECT_EQ(*live.rbegin(), highest);
    EXPECT_EQ(table.Add([] { return new int(0); }), highest + 1);
}

// A call that looked an object up keeps its number from being reissued
// until it lets go, so that the call never works on another's handle.
TEST(HandleTableTest, ANumberIsReissuedOnlyOnceNoCallHoldsItsObject) {
    HandleTable<int> table;
    const int32_t first = table.Add([] { return new int(1); });
    auto held = table.Lookup(first);
    EXPECT_NE(table.Remove(first), nullptr);
    const int32_t second = table.Add([] { return new int(2); });
    EXPECT_NE(second, first);
    held.reset();
    EXPECT_EQ(table.Add([] { return new int(3); }), first);
}

}  // namespace
}  // namespace vrelay
