// Byte-string scanners, case-blind comparison and field readers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

namespace {

int32_t scan_char_x(const char* s, int32_t len) {
    return KVTP_strlen_char(s, len, 'x');
}

TEST(Scanners, CountLeadingBytesWithinLimitAndBeforeNul) {
    using Scanner = int32_t (*)(const char*, int32_t);
    // clang-format off
    const struct { Scanner fn; const char* text; int32_t len, expected; } cases[] = {
        {KVTP_strlen_ws, " \t\r\nx", 10, 4}, {KVTP_strlen_ws, "    x", 2, 2},
        {KVTP_strlen_ws, "   ", 0, 0}, {KVTP_strlen_ws, "   ", -1, 0}, {KVTP_strlen_ws, " \vx", 5, 1},
        {KVTP_strlen_nws, "abc def", 100, 3}, {KVTP_strlen_nws, "ab", 50, 2},
        {KVTP_strlen_nws, "abc", -1, 0}, {KVTP_strlen_nws, nullptr, 5, 0},
        {KVTP_strlen_newline, "ab\rc", 10, 2}, {KVTP_strlen_eol, "ab\rc\nd", 10, 4},
        {KVTP_strlen_eol, "abcdef\n", -1, 6}, {KVTP_strlen_eol, "abc", -1, 3},
        {KVTP_strlen_equals, "a =\"v\"", 6, 2}, {KVTP_strlen_equals, "=x", 2, 0},
        {KVTP_strlen_equals, "ab=", -1, 0}, {KVTP_strlen_colon, "key:val", 7, 3},
        {KVTP_strlen_comma, "1,2", 3, 1}, {KVTP_strlen_quote, "ab'c\"", 5, 2},
        {KVTP_strlen_quote, "voice\"x", -1, 5}, {KVTP_strlen_quote, "noquote", -1, 7},
        {scan_char_x, "abxc", 4, 2}, {scan_char_x, "abcx", 2, 2}, {scan_char_x, "aaaa", -1, 4}};
    // clang-format on
    // -1 means "up to the NUL" for some scanners and "nothing" for others.
    for (const auto& c : cases)
        EXPECT_EQ(c.fn(c.text, c.len), c.expected) << "case " << &c - cases;
}

TEST(Scanners, SearchesStayWithinLimitAndStopAtNul) {
    EXPECT_EQ(KVTP_strnlen("hello", 3), 3);
    EXPECT_EQ(KVTP_strnlen("hi", 10), 2);
    EXPECT_EQ(KVTP_strnlen("hello", -1), 5);
    EXPECT_EQ(KVTP_strnlen("hello", 0), 0);
    EXPECT_EQ(KVTP_strnlen(nullptr, -1), 0);

    const char* s = "abcabc";
    EXPECT_EQ(KVTP_strnchr(s, 6, 'c'), s + 2);
    EXPECT_EQ(KVTP_strnchr(s, 2, 'c'), nullptr);
    EXPECT_EQ(KVTP_strnchr("ab", 10, 'z'), nullptr);
    EXPECT_EQ(KVTP_strnchr(s, 6, '\0'), nullptr);
    const char high[] = "a\xE9";
    EXPECT_EQ(KVTP_strnchr(high, 2, 0xE9), high + 1);

    const char* t = "the cat sat";
    EXPECT_EQ(KVTP_strnstr(t, -1, "sat", -1), t + 8);
    EXPECT_EQ(KVTP_strnstr(t, 10, "sat", -1), nullptr);  // needle crosses the limit
    EXPECT_EQ(KVTP_strnstr(t, 11, "sat", 2), t + 8);
    EXPECT_EQ(KVTP_strnstr(t, -1, "", -1), t);
    EXPECT_EQ(KVTP_strnstr(t, -1, nullptr, 3), t);
    EXPECT_EQ(KVTP_strnstr(t, -1, "dog", -1), nullptr);
    EXPECT_EQ(KVTP_strnstr("ab", 100, "abc", -1), nullptr);

    EXPECT_EQ(KVTP_charcount("a,b,,c", -1, ','), 3);
    EXPECT_EQ(KVTP_charcount("a,b,,c", 3, ','), 1);
    EXPECT_EQ(KVTP_charcount("a,b", 100, ','), 1);
}

TEST(Scanners, CopiesStopAtTheirDelimiterOrLengthAndTerminate) {
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_strcpy_ws(buf, "word rest", 15), 4);
    EXPECT_STREQ(buf, "word");
    EXPECT_EQ(KVTP_strcpy_ws(buf, "longword", 3), 3);
    EXPECT_STREQ(buf, "lon");
    EXPECT_EQ(KVTP_strcpy_newline(buf, "a line\nnext", 15), 6);
    EXPECT_STREQ(buf, "a line");

    for (const auto& [len, expected] : {std::pair{3, "abc"}, {30, "abcdef"}, {-1, "abcdef"}}) {
        char* d = KVTP_strndup("abcdef", len);
        EXPECT_STREQ(d, expected);
        KVTP_free(d);
    }
    EXPECT_EQ(KVTP_strndup(nullptr, 3), nullptr);
}

TEST(Scanners, CaseChangesAndClassesTouchOnlyAscii) {
    char s[] = "Ab[{\xC3\x89z";
    KVTP_asciilower(s);
    EXPECT_STREQ(s, "ab[{\xC3\x89z");
    KVTP_asciiupper(s);
    EXPECT_STREQ(s, "AB[{\xC3\x89Z");
    KVTP_asciireplace(s, 'B', '-');
    EXPECT_STREQ(s, "A-[{\xC3\x89Z");
    char t[] = "abcd";
    KVTP_asciiupper(t, 2);
    EXPECT_STREQ(t, "ABcd");

    EXPECT_EQ(KVTP_is_matching_quote('"'), '"');
    EXPECT_EQ(KVTP_is_matching_quote('\''), '\'');
    EXPECT_EQ(KVTP_is_matching_quote('`'), 0);
    EXPECT_TRUE(KVTP_is_whitespace('\r'));
    EXPECT_FALSE(KVTP_is_whitespace('\v'));
    EXPECT_FALSE(KVTP_is_whitespace(static_cast<char>(0xA0)));
    EXPECT_TRUE(KVTP_is_newline('\r'));
    EXPECT_FALSE(KVTP_is_eol('\r'));
}

TEST(Scanners, NocaseEqualityIgnoresOnlyTheCaseBit) {
    // clang-format off
    const struct { const char *a, *b; bool equal; } cases[] = {
        {"Info", "INFO", true}, {"INFO", "INFOS", false}, {"INFOS", "INFO", false}, {"", "", true},
        {"", "a", false}, {"[", "{", true} /* 32 apart */, {"a", "b", false}, {"\xC3", "\xE3", true},
        {nullptr, "a", false}, {"a", nullptr, false}, {nullptr, nullptr, false}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_strcmp_nocase(c.a, c.b) != 0, c.equal)
            << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}

TEST(Fields, CountsFindsAndReadsWhitespaceSeparatedFields) {
    const char* s = "  one two\t\tthree  ";
    EXPECT_EQ(KVTP_no_strings(s), 3);
    EXPECT_EQ(KVTP_no_strings("   "), 0);
    EXPECT_EQ(KVTP_no_strings(""), 0);
    EXPECT_EQ(KVTP_strfield_len(s, -1), 3);
    EXPECT_EQ(KVTP_strfield_len(s, 8), 2);  // "  one tw"
    int32_t n = 0;
    const char* f = KVTP_strfield(s, -1, 2, &n);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f, n), "three");
    EXPECT_EQ(KVTP_strfield(s, -1, 3, &n), nullptr);
    EXPECT_EQ(KVTP_strfield(s, -1, -1, &n), nullptr);
    f = KVTP_strfield_next(KVTP_strfield(s, -1, 0, &n), -1, &n);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f, n), "two");

    float out[4] = {0, 0, 0, 0};
    EXPECT_EQ(KVTP_strfield_floats(" 1.5 -2 3e2 9", -1, out, 3), 3);
    EXPECT_FLOAT_EQ(out[0], 1.5f);
    EXPECT_FLOAT_EQ(out[1], -2.0f);
    EXPECT_FLOAT_EQ(out[2], 300.0f);
    EXPECT_EQ(KVTP_unpack_noseq("  -1.25 7", -1, 2), -125);
}

}  // namespace
