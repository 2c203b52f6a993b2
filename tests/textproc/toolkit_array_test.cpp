// SPDX-License-Identifier: MIT
// The generic array and the growable string.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "textproc/toolkit/array.h"
#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

std::string bytes(const KVTP_array* a) {
    return std::string(a->data, a->count);
}

TEST(Array, GrowthIsGeometricSoAppendingStaysLinear) {
    KVTP_array* a = KVTP_array_new(1, 0, 1, 0);
    int reallocations = 0;
    for (int i = 0; i < 100000; ++i) {
        const char* before = a->data;
        ASSERT_EQ(KVTP_array_append(a, "x", 1), 1);
        reallocations += a->data != before;
    }
    EXPECT_LT(reallocations, 300);
    KVTP_array_delete(a);
}

TEST(Array, RefusesCountsBeyondInt32AndUsesOnlyReservedCapacity) {
    KVTP_array* a = KVTP_array_new(8, 64, 1, 0);
    ASSERT_EQ(KVTP_array_extend(a, 5), 1);
    ASSERT_EQ(KVTP_array_append(a, "abc", 3), 1);
    EXPECT_EQ(KVTP_array_extend(a, INT32_MAX), 0);
    EXPECT_EQ(KVTP_array_extendsz(a, INT32_MAX), 0);
    EXPECT_EQ(KVTP_array_extend(a, -1), 0);
    EXPECT_EQ(KVTP_array_extendsz(a, 6), 0);
    EXPECT_EQ(a->count, 3);
    EXPECT_EQ(KVTP_array_extendsz(a, 5), 1);
    EXPECT_EQ(a->count, 8);
    KVTP_array_delete(a);
}

TEST(Array, EditsClampPositionsAndAcceptTheArraysOwnElements) {
    KVTP_array* a = KVTP_array_new(2, 64, 1, 0);
    ASSERT_EQ(KVTP_array_append(a, "ace", 3), 1);
    ASSERT_EQ(KVTP_array_insert_range(a, "b", 1, 1), 1);
    ASSERT_EQ(KVTP_array_insert_range(a, "d", 1, 99), 1);
    ASSERT_EQ(KVTP_array_insert_range(a, "_", 1, -4), 1);
    ASSERT_EQ(KVTP_array_insert_range(a, a->data + 1, 3, 2), 1);  // source moves
    ASSERT_EQ(KVTP_array_insert_range(a, nullptr, 2, 0), 1);
    EXPECT_EQ(bytes(a), std::string("\0\0_aabcbced", 11));
    ASSERT_EQ(KVTP_array_replace(a, "abcdef", 6), 1);
    EXPECT_EQ(KVTP_array_delete_range(a, 4, 100), 1);
    EXPECT_EQ(KVTP_array_delete_range(a, -3, 1), 1);
    EXPECT_EQ(KVTP_array_delete_upto(a, 2), 1);
    EXPECT_EQ(bytes(a), "d");
    EXPECT_EQ(KVTP_array_idx(a, 1), nullptr);
    ASSERT_EQ(KVTP_array_fill(a, "z", 2), 1);
    ASSERT_EQ(KVTP_array_resize(a, 5), 1);
    EXPECT_EQ(bytes(a), std::string("dzz\0\0", 5));
    ASSERT_EQ(KVTP_array_resize(a, 1), 1);
    ASSERT_EQ(KVTP_array_append_null(a, "bc", -1), 1);  // no NUL yet: appends one
    ASSERT_EQ(KVTP_array_append_null(a, "de", 1), 1);   // writes over the NUL
    EXPECT_EQ(bytes(a), std::string("dbcd\0", 5));
    KVTP_array_clear(a);
    ASSERT_EQ(KVTP_array_extendsz(a, 3), 1);  // reused storage reads as zero again
    EXPECT_EQ(bytes(a), std::string(3, '\0'));
    KVTP_array_delete(a);
}

TEST(Array, OwningArrayFreesItsElements) {
    EXPECT_EQ(KVTP_array_new(8, 64, 4, 1), nullptr);  // owned elements are pointers
    EXPECT_EQ(KVTP_array_new(8, 64, 0, 0), nullptr);
    const int64_t live = KVTP_malloc_live();
    KVTP_array* a = KVTP_array_new(8, 64, sizeof(void*), 1);
    for (int i = 0; i < 5; ++i) {
        char* s = KVTP_strdup("owned");
        ASSERT_EQ(KVTP_array_append(a, &s, 1), 1);
    }
    KVTP_array_delete_range(a, 1, 2);
    KVTP_array_resize(a, 2);
    KVTP_array_clear(a);
    KVTP_array_delete(a);
    EXPECT_EQ(KVTP_malloc_live(), live);
}

std::string text(const KVTP_dystr* s) {
    return std::string(KVTP_dystr_cstr(s), KVTP_dystr_sz(s));
}

TEST(Dystr, AppendFamilyKeepsByteCounts) {
    KVTP_dystr* s = KVTP_dystr_newcustom(nullptr, -1, 1024, 5120);
    ASSERT_EQ(KVTP_dystr_append3(s, "a", 1, "bcd", 2, "", -1), 1);
    ASSERT_EQ(KVTP_dystr_append4(s, "1", -1, "2", -1, "3", -1, "4", 1), 1);
    ASSERT_EQ(KVTP_dystr_appendint(s, -17), 1);
    ASSERT_EQ(KVTP_dystr_append2intCR(s, " n=", -1, 42), 1);
    ASSERT_EQ(KVTP_dystr_appendfloat(s, 1.5f, 2, "f"), 1);
    ASSERT_EQ(KVTP_dystr_printf(s, "[%s:%d]", "p", 7), 1);
    ASSERT_EQ(KVTP_dystr_append(s, "x\0y", 3), 1);
    EXPECT_EQ(text(s), std::string("abc1234-17 n=42\n1.50[p:7]x\0y", 28));
    EXPECT_EQ(KVTP_dystr_append(s, nullptr, 2), 0);
    KVTP_dystr_delete(s);
}

TEST(Dystr, EditsOfItsOwnTextSurviveGrowthAndClampToTheText) {
    KVTP_dystr* s = KVTP_dystr_new("abcd", 0);
    ASSERT_EQ(KVTP_dystr_append(s, KVTP_dystr_cstr(s), -1), 1);
    ASSERT_EQ(KVTP_dystr_append2(s, KVTP_dystr_cstr(s), 2, "-", 1), 1);
    EXPECT_EQ(text(s), "abcdabcdab-");
    ASSERT_EQ(KVTP_dystr_replace(s, KVTP_dystr_cstr(s) + 4, 3), 1);
    ASSERT_EQ(KVTP_dystr_insert_range(s, KVTP_dystr_cstr(s), 2, 1), 1);
    ASSERT_EQ(KVTP_dystr_insert_range(s, "!", 1, 99), 1);  // before the NUL
    EXPECT_EQ(text(s), "aabbc!");
    ASSERT_EQ(KVTP_dystr_delete_range(s, 3, 100), 1);
    ASSERT_EQ(KVTP_dystr_delete_upto(s, 1), 1);
    ASSERT_EQ(KVTP_dystr_truncate(s, 10), 1);
    EXPECT_EQ(text(s), "ab");
    ASSERT_EQ(KVTP_dystr_truncate(s, 1), 1);
    EXPECT_EQ(text(s), "a");
    KVTP_dystr_delete(s);

    KVTP_dystr* big = KVTP_dystr_new(nullptr, 300);  // a clear releasing storage
    KVTP_dystr_clear(big);
    EXPECT_STREQ(KVTP_dystr_cstr(big), "");
    ASSERT_EQ(KVTP_dystr_insert_range(big, "x", 1, 5), 1);
    ASSERT_EQ(KVTP_dystr_append(big, "y", 1), 1);
    EXPECT_EQ(text(big), "xy");
    KVTP_dystr_delete(big);
}

TEST(Dystr, AsciiEditsLeaveOtherBytesAlone) {
    KVTP_dystr* s = KVTP_dystr_new(" \t Mixed \xC3\xA9 Case\r\n", 0);
    KVTP_dystr_asciistrip(s);
    EXPECT_EQ(text(s), "Mixed \xC3\xA9 Case");
    KVTP_dystr_remove_non_ascii(s);
    KVTP_dystr_asciiupper(s);
    KVTP_dystr_asciireplace(s, ' ', '_');
    EXPECT_EQ(text(s), "MIXED__CASE");
    KVTP_dystr_replace(s, "   ", -1);
    KVTP_dystr_asciistrip(s);
    EXPECT_EQ(text(s), "");
    KVTP_dystr_delete(s);
}

TEST(Dystr, ReadlineReturnsLinesWithTheirLineFeed) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::string longline(700, 'q');
    std::fputs(("one\n" + longline + "\nlast").c_str(), f);
    std::rewind(f);
    KVTP_dystr* s = KVTP_dystr_new("old", 0);
    for (const std::string& line : {std::string("one\n"), longline + "\n", std::string("last")}) {
        ASSERT_EQ(KVTP_dystr_readline(s, f), 1);
        EXPECT_EQ(text(s), line);
    }
    EXPECT_EQ(KVTP_dystr_readline(s, f), 0);
    EXPECT_EQ(text(s), "");
    std::fclose(f);
    KVTP_dystr_delete(s);
    EXPECT_EQ(KVTP_dystr_append(nullptr, "a", 1), 0);  // null strings are harmless
    EXPECT_STREQ(KVTP_dystr_cstr(nullptr), "");
}

}  // namespace
