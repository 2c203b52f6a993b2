// SPDX-License-Identifier: MIT
// The packed string array: slot sizes, the 255 rule, editing in place and
// with growth.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "textproc/toolkit/dystrarray.h"

namespace {

std::string bytes(const KVTP_dystrarray* a) {
    return std::string(a->data, a->count);
}

class DystrarrayTest : public ::testing::Test {
  protected:
    void TearDown() override { KVTP_dystrarray_delete(a_); }
    KVTP_dystrarray* a_ = nullptr;
};

TEST(Dystrarray, SlotIsEvenWithRoomForNulAndLengthByteStopsAt255) {
    // clang-format off
    const struct { int32_t n, slot; unsigned char length_byte; } cases[] = {
        {0, 4, 4}, {1, 4, 4}, {2, 6, 6}, {3, 6, 6}, {4, 8, 8}, {250, 254, 254}, {251, 254, 254},
        {252, 256, 255}, {253, 256, 255}, {300, 304, 255}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        KVTP_dystrarray* a = KVTP_dystrarray_new(0);
        const std::string s(c.n, 'x');
        ASSERT_EQ(KVTP_dystrarray_add(a, s.c_str(), -1), 1);
        ASSERT_EQ(KVTP_dystrarray_add(a, "", -1), 1);
        ASSERT_EQ(KVTP_dystrarray_add(a, "next", -1), 1);
        EXPECT_EQ(a->count, c.slot + 4 + 8);
        EXPECT_EQ(static_cast<unsigned char>(a->data[0]), c.length_byte);
        EXPECT_EQ(KVTP_dystrarray_sz(a), 3);
        EXPECT_EQ(KVTP_dystrarray_idx(a, 0), s);
        EXPECT_STREQ(KVTP_dystrarray_idx(a, 1), "");
        // A long slot is walked by its NUL fill, also from entry to entry.
        const char* next = KVTP_dystrarray_next(a, KVTP_dystrarray_idx(a, 0));
        EXPECT_EQ(next, KVTP_dystrarray_idx(a, 1));
        next = KVTP_dystrarray_next(a, next);
        EXPECT_STREQ(next, "next");
        EXPECT_EQ(KVTP_dystrarray_next(a, next), nullptr);
        KVTP_dystrarray_delete(a);
    }
}

TEST_F(DystrarrayTest, ReplaceInPlaceOrByGrowingTheSlot) {
    a_ = KVTP_dystrarray_new(0);
    KVTP_dystrarray_add(a_, "abcd", -1);  // slot 8
    KVTP_dystrarray_add(a_, "z", -1);
    const int32_t before = a_->count;
    ASSERT_EQ(KVTP_dystrarray_replace(a_, 0, "xy", -1), 1);
    EXPECT_EQ(a_->count, before);
    EXPECT_EQ(bytes(a_).substr(0, 8), std::string("\x08xy\0\0\0\0\0", 8));
    const std::string big(400, 'q');
    ASSERT_EQ(KVTP_dystrarray_replace(a_, 0, big.c_str(), -1), 1);
    EXPECT_EQ(static_cast<unsigned char>(a_->data[0]), 255);
    EXPECT_EQ(KVTP_dystrarray_idx(a_, 0), big);
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 1), "z");
    // Shrinking a long slot keeps it long; the walk still finds the next entry.
    ASSERT_EQ(KVTP_dystrarray_replace(a_, 0, "s", -1), 1);
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 0), "s");
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 1), "z");
    EXPECT_EQ(KVTP_dystrarray_sz(a_), 2);
    EXPECT_EQ(KVTP_dystrarray_replace(a_, 2, "x", -1), 0);
}

TEST_F(DystrarrayTest, TextFromTheArrayItselfIsSafe) {
    a_ = KVTP_dystrarray_newprealloc(8);
    KVTP_dystrarray_add(a_, "first", -1);
    KVTP_dystrarray_add(a_, "second entry", -1);
    ASSERT_EQ(KVTP_dystrarray_add(a_, KVTP_dystrarray_idx(a_, 1), -1), 1);
    ASSERT_EQ(KVTP_dystrarray_replace(a_, 0, KVTP_dystrarray_idx(a_, 1), -1), 1);
    ASSERT_EQ(KVTP_dystrarray_append(a_, 1, KVTP_dystrarray_idx(a_, 1), -1), 1);
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 0), "second entry");
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 1), "second entrysecond entry");
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 2), "second entry");
}

TEST_F(DystrarrayTest, AppendRemoveAndDelimitedAdd) {
    a_ = KVTP_dystrarray_new(1);
    ASSERT_EQ(KVTP_dystrarray_append(a_, 0, "ab", -1), 1);
    ASSERT_EQ(KVTP_dystrarray_append(a_, 0, "cdef", 2), 1);
    ASSERT_EQ(KVTP_dystrarray_add_delim(a_, "x,,y,", -1, ','), 1);
    EXPECT_EQ(KVTP_dystrarray_sz(a_), 5);
    const char* expected[] = {"abcd", "x", "", "y", ""};
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_STREQ(KVTP_dystrarray_idx(a_, i), expected[i]) << i;
    ASSERT_EQ(KVTP_dystrarray_remove(a_, 1), 1);
    EXPECT_STREQ(KVTP_dystrarray_idx(a_, 2), "y");
    EXPECT_EQ(KVTP_dystrarray_remove(a_, 9), 0);
    EXPECT_EQ(KVTP_dystrarray_sz(a_), 4);
}

TEST_F(DystrarrayTest, CorruptBufferIsReportedBySize) {
    a_ = KVTP_dystrarray_new(0);
    KVTP_dystrarray_add(a_, "ab", -1);  // slot 6
    a_->data[0] = 8;                    // claims more than the buffer holds
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(KVTP_dystrarray_sz(a_), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Internal structure of dystrarray corrupted: expected size 6, found 0.\n");
    EXPECT_EQ(KVTP_dystrarray_idx(a_, 0), nullptr);
    EXPECT_EQ(KVTP_dystrarray_write_sz(a_), 0);  // nothing corrupt is stored
    EXPECT_EQ(KVTP_dystrarray_write(a_, stdout), 0);
    a_->data[0] = 0;  // a zero length byte must not loop forever
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(KVTP_dystrarray_sz(a_), 0);
    ::testing::internal::GetCapturedStderr();
}

TEST_F(DystrarrayTest, ClearLeavesEmptyEntriesWithinKeepLimitAndCopyIsByteExact) {
    a_ = KVTP_dystrarray_new(0);
    for (int i = 0; i < 200; ++i)
        KVTP_dystrarray_add(a_, "filler", -1);
    EXPECT_GT(a_->capacity, a_->keep_limit);
    ASSERT_EQ(KVTP_dystrarray_clear(a_, 2), 1);
    EXPECT_EQ(bytes(a_), std::string("\x02\0\x02\0", 4));
    EXPECT_LE(a_->capacity, a_->keep_limit);
    ASSERT_EQ(KVTP_dystrarray_clearcustom(a_, 2, 5), 1);  // odd slots are rounded up
    EXPECT_EQ(bytes(a_), std::string("\x06\0\0\0\0\0\x06\0\0\0\0\0", 12));
    KVTP_dystrarray* b = KVTP_dystrarray_new(5);
    KVTP_dystrarray_add(a_, "copied", -1);
    ASSERT_EQ(KVTP_dystrarray_copy(b, a_), 1);
    EXPECT_EQ(bytes(b), bytes(a_));
    KVTP_dystrarray_delete(b);
}

}  // namespace
