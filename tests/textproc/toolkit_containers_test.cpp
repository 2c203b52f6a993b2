// SPDX-License-Identifier: MIT
// Pointer and number arrays, string arrays and tables, and the packed string
// array (slot sizes, the 255 rule, editing in place and with growth).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/intarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/voidparray.h"

namespace {

std::string joined(const KVTP_strarray* a) {
    char* j = KVTP_strarray_join(a, "|");
    std::string s = j;
    KVTP_free(j);
    return s;
}

TEST(Strarray, OwnsCopiesEditsAndSplits) {
    KVTP_strarray* a = KVTP_strarray_new();
    char word[] = "word";
    KVTP_strarray_add(a, word, -1);
    word[0] = 'W';
    KVTP_strarray_add(a, "abcdef", 3);
    KVTP_strarray_add_nocopy(a, KVTP_strdup("given"));
    KVTP_strarray_insert_item(a, "first", -1, 0);
    KVTP_strarray_replace(a, 2, "new", -1);
    KVTP_strarray_remove_item(a, 0);
    EXPECT_EQ(KVTP_strarray_remove_item(a, 10), 0);
    EXPECT_EQ(joined(a), "word|new|given");
    EXPECT_EQ(KVTP_strarray_idx(a, 3), nullptr);
    // clang-format off
    const struct { int (*split)(KVTP_strarray*, const char*, int32_t, const char*);
                   const char* text; int32_t len; const char* delim; const char* expected; } splits[] = {
        {KVTP_strarray_split, "a::b::", -1, "::", "a|b|"}, {KVTP_strarray_split, "whole", 3, "", "who"},
        {KVTP_strarray_split_chars, "x y;z", -1, " ;", "x|y|z"}};
    // clang-format on
    for (const auto& s : splits) {
        KVTP_strarray_clear(a);
        s.split(a, s.text, s.len, s.delim);
        EXPECT_EQ(joined(a), s.expected);
    }
    KVTP_strarray_clear(a);
    KVTP_strarray_split_ws(a, "  one \t two  ", -1);
    EXPECT_EQ(joined(a), "one|two");
    KVTP_strarray_delete(a);

    static const char block[] = "alpha\0beta\0\0gamma";  // a constant array owns nothing
    const int64_t live = KVTP_malloc_live();
    a = KVTP_strarray_new_const(block, 4);
    EXPECT_STREQ(KVTP_strarray_idx(a, 2), "");
    EXPECT_STREQ(KVTP_strarray_idx(a, 3), "gamma");
    KVTP_strarray_delete(a);
    EXPECT_EQ(KVTP_malloc_live(), live);
}

TEST(Str2str, LastPairWithExactKeyWins) {
    KVTP_str2str* t = KVTP_str2str_new(64);
    KVTP_str2str_add(t, "log|level", -1, "INFO", -1);
    KVTP_str2str_add(t, "log|levelx", -1, "no", -1);
    KVTP_str2str_add(t, "log|level", -1, "DEBUG", -1);
    EXPECT_EQ(KVTP_str2str_nrkeys(t), 3);
    EXPECT_STREQ(KVTP_str2str_lookup(t, "log|levelxyz", 9), "DEBUG");
    EXPECT_EQ(KVTP_str2str_lookup(t, "log|leve", -1), nullptr);
    ASSERT_EQ(KVTP_str2str_replace_val(t, "log|level", -1, "WARN", -1), 1);
    EXPECT_STREQ(KVTP_str2str_val(t, 2), "WARN");
    EXPECT_STREQ(KVTP_str2str_val(t, 0), "INFO");
    EXPECT_EQ(KVTP_str2str_replace_val(t, "absent", -1, "x", -1), 0);
    EXPECT_STREQ(KVTP_str2str_key(t, 1), "log|levelx");
    KVTP_str2str_delete(t);
}

TEST(Voidparray, InsertClampsAndRemoveSkipsNullSlots) {
    KVTP_voidparray* a = KVTP_voidparray_newcustom(10, 8, 64);
    int x = 1, y = 2, z = 3;
    KVTP_voidparray_add(a, &x);
    KVTP_voidparray_add(a, &z);
    KVTP_voidparray_insert_item(a, &y, 1);
    KVTP_voidparray_insert_item(a, nullptr, 99);
    EXPECT_EQ(KVTP_voidparray_idx(a, 1), &y);
    EXPECT_EQ(KVTP_voidparray_idx(a, 4), nullptr);
    EXPECT_EQ(KVTP_voidparray_remove_item(a, 3), nullptr);  // a null slot is not removed
    EXPECT_EQ(KVTP_voidparray_sz(a), 4);
    EXPECT_EQ(KVTP_voidparray_remove_item(a, 0), &x);
    EXPECT_EQ(KVTP_voidparray_replace(a, 2, &x), 1);
    EXPECT_EQ(KVTP_voidparray_end(a), &x);
    EXPECT_EQ(KVTP_voidparray_replace(a, 3, &x), 0);
    KVTP_voidparray_delete(a);

    KVTP_intarray* ia = KVTP_intarray_new();  // the number arrays index within their count
    for (int32_t i = 0; i < 20; ++i)
        KVTP_intarray_add(ia, i * i);
    EXPECT_EQ(*KVTP_intarray_idx(ia, 19), 361);
    EXPECT_EQ(KVTP_intarray_idx(ia, 20), nullptr);
    KVTP_intarray_replace(ia, 0, -5);
    EXPECT_EQ(*KVTP_intarray_idx(ia, 0), -5);
    KVTP_intarray_delete(ia);
}

std::string bytes(const KVTP_dystrarray* a) {
    return std::string(a->data, a->count);
}

TEST(Dystrarray, SlotIsEvenWithRoomForNulAndLengthByteStopsAt255) {
    // clang-format off
    const struct { int32_t n, slot; unsigned char length_byte; } cases[] = {
        {1, 4, 4}, {2, 6, 6}, {251, 254, 254}, {252, 256, 255}, {300, 304, 255}};
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
        // A long slot is walked by its NUL fill, also from entry to entry.
        const char* next = KVTP_dystrarray_next(a, KVTP_dystrarray_idx(a, 0));
        EXPECT_EQ(next, KVTP_dystrarray_idx(a, 1));
        next = KVTP_dystrarray_next(a, next);
        EXPECT_STREQ(next, "next");
        EXPECT_EQ(KVTP_dystrarray_next(a, next), nullptr);
        KVTP_dystrarray_delete(a);
    }
}

TEST(Dystrarray, EditsReplaceInPlaceOrGrowTheSlotAndAcceptTheArraysOwnText) {
    KVTP_dystrarray* a = KVTP_dystrarray_new(0);
    KVTP_dystrarray_add(a, "abcd", -1);  // slot 8
    KVTP_dystrarray_add(a, "z", -1);
    const int32_t before = a->count;
    ASSERT_EQ(KVTP_dystrarray_replace(a, 0, "xy", -1), 1);
    EXPECT_EQ(a->count, before);
    EXPECT_EQ(bytes(a).substr(0, 8), std::string("\x08xy\0\0\0\0\0", 8));
    const std::string big(400, 'q');
    ASSERT_EQ(KVTP_dystrarray_replace(a, 0, big.c_str(), -1), 1);
    EXPECT_EQ(KVTP_dystrarray_idx(a, 0), big);
    // Shrinking a long slot keeps it long; the walk still finds the next entry.
    ASSERT_EQ(KVTP_dystrarray_replace(a, 0, "s", -1), 1);
    EXPECT_STREQ(KVTP_dystrarray_idx(a, 1), "z");
    EXPECT_EQ(KVTP_dystrarray_replace(a, 2, "x", -1), 0);
    KVTP_dystrarray_delete(a);

    a = KVTP_dystrarray_newprealloc(8);
    KVTP_dystrarray_add(a, "first", -1);
    KVTP_dystrarray_add(a, "second entry", -1);
    ASSERT_EQ(KVTP_dystrarray_add(a, KVTP_dystrarray_idx(a, 1), -1), 1);
    ASSERT_EQ(KVTP_dystrarray_replace(a, 0, KVTP_dystrarray_idx(a, 1), -1), 1);
    ASSERT_EQ(KVTP_dystrarray_append(a, 1, KVTP_dystrarray_idx(a, 1), 6), 1);
    ASSERT_EQ(KVTP_dystrarray_add_delim(a, "x,,y,", -1, ','), 1);
    ASSERT_EQ(KVTP_dystrarray_remove(a, 4), 1);
    EXPECT_EQ(KVTP_dystrarray_remove(a, 9), 0);
    const char* expected[] = {"second entry", "second entrysecond", "second entry", "x", "y", ""};
    EXPECT_EQ(KVTP_dystrarray_sz(a), 6);
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_STREQ(KVTP_dystrarray_idx(a, i), expected[i]) << i;
    KVTP_dystrarray_delete(a);
}

TEST(Dystrarray, CorruptBufferIsReportedBySize) {
    KVTP_dystrarray* a = KVTP_dystrarray_new(0);
    KVTP_dystrarray_add(a, "ab", -1);  // slot 6
    a->data[0] = 8;                    // claims more than the buffer holds
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(KVTP_dystrarray_sz(a), 0);
    EXPECT_EQ(KVTP_dystrarray_idx(a, 0), nullptr);
    EXPECT_EQ(KVTP_dystrarray_write(a, stdout), 0);  // nothing corrupt is stored
    a->data[0] = 0;                                  // a zero length byte must not loop forever
    EXPECT_EQ(KVTP_dystrarray_sz(a), 0);
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
    KVTP_dystrarray_delete(a);
}

TEST(Dystrarray, ClearLeavesEmptyEntriesWithinKeepLimitAndCopyIsByteExact) {
    KVTP_dystrarray* a = KVTP_dystrarray_new(0);
    for (int i = 0; i < 200; ++i)
        KVTP_dystrarray_add(a, "filler", -1);
    ASSERT_EQ(KVTP_dystrarray_clear(a, 2), 1);
    EXPECT_EQ(bytes(a), std::string("\x02\0\x02\0", 4));
    EXPECT_LE(a->capacity, a->keep_limit);
    ASSERT_EQ(KVTP_dystrarray_clearcustom(a, 2, 5), 1);  // odd slots are rounded up
    EXPECT_EQ(bytes(a), std::string("\x06\0\0\0\0\0\x06\0\0\0\0\0", 12));
    KVTP_dystrarray* b = KVTP_dystrarray_new(5);
    ASSERT_EQ(KVTP_dystrarray_copy(b, a), 1);
    EXPECT_EQ(bytes(b), bytes(a));
    KVTP_dystrarray_delete(b);
    KVTP_dystrarray_delete(a);
}

}  // namespace
