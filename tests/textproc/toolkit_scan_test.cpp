// Byte-string scanners, case-blind comparison and field readers.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "textproc/KVTP_string.h"
#include "textproc/oswrappers.h"

namespace {

using Scanner = int32_t (*)(const char*, int32_t);

struct ScanCase {
    const char* name;
    Scanner fn;
    const char* text;
    int32_t len;
    int32_t expected;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

int32_t scan_char_x(const char* s, int32_t len) {
    return KVTP_strlen_char(s, len, 'x');
}

class ScannerTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerTable, CountsLeadingBytesWithinLimitAndBeforeNul) {
    const ScanCase& c = GetParam();
    EXPECT_EQ(c.fn(c.text, c.len), c.expected) << c.name << " on \"" << c.text << "\"";
}

const ScanCase kScanCases[] = {
    {"ws run", KVTP_strlen_ws, " \t\r\nx", 10, 4},
    {"ws limited", KVTP_strlen_ws, "    x", 2, 2},
    {"ws zero length", KVTP_strlen_ws, "   ", 0, 0},
    {"ws -1 is nothing", KVTP_strlen_ws, "   ", -1, 0},
    {"ws stops at vertical tab", KVTP_strlen_ws, " \vx", 5, 1},
    {"nws", KVTP_strlen_nws, "abc def", 100, 3},
    {"nws past NUL", KVTP_strlen_nws, "ab", 50, 2},
    {"nws -1 is nothing", KVTP_strlen_nws, "abc", -1, 0},
    {"newline stops at CR", KVTP_strlen_newline, "ab\rc", 10, 2},
    {"eol ignores CR", KVTP_strlen_eol, "ab\rc\nd", 10, 4},
    {"eol -1 unlimited", KVTP_strlen_eol, "abcdef\n", -1, 6},
    {"eol -1 stops at NUL", KVTP_strlen_eol, "abc", -1, 3},
    {"equals on name=value", KVTP_strlen_equals, "a =\"v\"", 6, 2},
    {"equals at start", KVTP_strlen_equals, "=x", 2, 0},
    {"equals -1 is nothing", KVTP_strlen_equals, "ab=", -1, 0},
    {"colon", KVTP_strlen_colon, "key:val", 7, 3},
    {"comma", KVTP_strlen_comma, "1,2", 3, 1},
    {"quote stops at apostrophe", KVTP_strlen_quote, "ab'c\"", 5, 2},
    {"quote -1 to first quote", KVTP_strlen_quote, "voice\"x", -1, 5},
    {"quote -1 to NUL", KVTP_strlen_quote, "noquote", -1, 7},
    {"char", scan_char_x, "abxc", 4, 2},
    {"char limited", scan_char_x, "abcx", 2, 2},
    {"char -1", scan_char_x, "aaaa", -1, 4},
    {"null text", KVTP_strlen_nws, nullptr, 5, 0},
};

INSTANTIATE_TEST_SUITE_P(Scanners, ScannerTable, ::testing::ValuesIn(kScanCases));

TEST(Scanners, StrnlenHonoursLimitNulAndNegative) {
    EXPECT_EQ(KVTP_strnlen("hello", 3), 3);
    EXPECT_EQ(KVTP_strnlen("hi", 10), 2);
    EXPECT_EQ(KVTP_strnlen("hello", -1), 5);
    EXPECT_EQ(KVTP_strnlen("hello", 0), 0);
    EXPECT_EQ(KVTP_strnlen(nullptr, -1), 0);
}

TEST(Scanners, StrnchrFindsOnlyWithinLimit) {
    const char* s = "abcabc";
    EXPECT_EQ(KVTP_strnchr(s, 6, 'c'), s + 2);
    EXPECT_EQ(KVTP_strnchr(s, 2, 'c'), nullptr);
    EXPECT_EQ(KVTP_strnchr("ab", 10, 'z'), nullptr);
    EXPECT_EQ(KVTP_strnchr(s, 6, '\0'), nullptr);
    const char high[] = "a\xE9";
    EXPECT_EQ(KVTP_strnchr(high, 2, 0xE9), high + 1);
}

TEST(Scanners, StrnstrFindsNeedleInsideLimitOnly) {
    const char* s = "the cat sat";
    EXPECT_EQ(KVTP_strnstr(s, -1, "sat", -1), s + 8);
    EXPECT_EQ(KVTP_strnstr(s, 10, "sat", -1), nullptr);  // needle crosses the limit
    EXPECT_EQ(KVTP_strnstr(s, 11, "sat", 2), s + 8);
    EXPECT_EQ(KVTP_strnstr(s, -1, "", -1), s);
    EXPECT_EQ(KVTP_strnstr(s, -1, nullptr, 3), s);
    EXPECT_EQ(KVTP_strnstr(s, -1, "dog", -1), nullptr);
    EXPECT_EQ(KVTP_strnstr("ab", 100, "abc", -1), nullptr);
}

TEST(Scanners, CharcountCountsWithinLength) {
    EXPECT_EQ(KVTP_charcount("a,b,,c", -1, ','), 3);
    EXPECT_EQ(KVTP_charcount("a,b,,c", 3, ','), 1);
    EXPECT_EQ(KVTP_charcount("a,b", 100, ','), 1);
}

TEST(Scanners, StrcpyWsAndNewlineStopAndTerminate) {
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_strcpy_ws(buf, "word rest", 15), 4);
    EXPECT_STREQ(buf, "word");
    EXPECT_EQ(KVTP_strcpy_ws(buf, "longword", 3), 3);
    EXPECT_STREQ(buf, "lon");
    EXPECT_EQ(KVTP_strcpy_newline(buf, "a line\nnext", 15), 6);
    EXPECT_STREQ(buf, "a line");
}

TEST(Scanners, StrndupCopiesUpToLengthOrNul) {
    char* a = KVTP_strndup("abcdef", 3);
    char* b = KVTP_strndup("ab", 30);
    char* c = KVTP_strndup("abc", -1);
    EXPECT_STREQ(a, "abc");
    EXPECT_STREQ(b, "ab");
    EXPECT_STREQ(c, "abc");
    EXPECT_EQ(KVTP_strndup(nullptr, 3), nullptr);
    KVTP_free(a);
    KVTP_free(b);
    KVTP_free(c);
}

TEST(Scanners, CaseChangesTouchOnlyAsciiLetters) {
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
}

TEST(Scanners, QuoteTests) {
    EXPECT_EQ(KVTP_is_matching_quote('"'), '"');
    EXPECT_EQ(KVTP_is_matching_quote('\''), '\'');
    EXPECT_EQ(KVTP_is_matching_quote('`'), 0);
    EXPECT_TRUE(KVTP_is_whitespace('\r'));
    EXPECT_FALSE(KVTP_is_whitespace('\v'));
    EXPECT_FALSE(KVTP_is_whitespace(static_cast<char>(0xA0)));
    EXPECT_TRUE(KVTP_is_newline('\r'));
    EXPECT_FALSE(KVTP_is_eol('\r'));
}

struct NocaseCase {
    const char* a;
    const char* b;
    bool equal;
};

void PrintTo(const NocaseCase& c, std::ostream* os) {
    *os << (c.a ? c.a : "null") << " vs " << (c.b ? c.b : "null");
}

class NocaseTable : public ::testing::TestWithParam<NocaseCase> {};

TEST_P(NocaseTable, EqualityIgnoringTheCaseBit) {
    const NocaseCase& c = GetParam();
    EXPECT_EQ(KVTP_strcmp_nocase(c.a, c.b) != 0, c.equal)
        << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}

const NocaseCase kNocaseCases[] = {
    {"Info", "INFO", true}, {"INFO", "INFOS", false},  {"INFOS", "INFO", false},
    {"", "", true},         {"", "a", false},          {"[", "{", true},  // 32 apart, like letters
    {"a", "b", false},      {"\xC3", "\xE3", true},    {nullptr, "a", false},
    {"a", nullptr, false},  {nullptr, nullptr, false},
};

INSTANTIATE_TEST_SUITE_P(Compare, NocaseTable, ::testing::ValuesIn(kNocaseCases));

TEST(Fields, CountsAndFindsWhitespaceSeparatedFields) {
    const char* s = "  one two\t\tthree  ";
    EXPECT_EQ(KVTP_no_strings(s), 3);
    EXPECT_EQ(KVTP_strfield_len(s, -1), 3);
    EXPECT_EQ(KVTP_strfield_len(s, 8), 2);  // "  one tw"
    int32_t n = 0;
    const char* f = KVTP_strfield(s, -1, 2, &n);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f, n), "three");
    EXPECT_EQ(KVTP_strfield(s, -1, 3, &n), nullptr);
    EXPECT_EQ(KVTP_strfield(s, -1, -1, &n), nullptr);
    f = KVTP_strfield(s, -1, 0, &n);
    f = KVTP_strfield_next(f, -1, &n);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f, n), "two");
    EXPECT_EQ(KVTP_no_strings("   "), 0);
    EXPECT_EQ(KVTP_no_strings(""), 0);
}

TEST(Fields, ReadsFloatsAndFixedPoint) {
    float out[4] = {0, 0, 0, 0};
    EXPECT_EQ(KVTP_strfield_floats(" 1.5 -2 3e2 9", -1, out, 3), 3);
    EXPECT_FLOAT_EQ(out[0], 1.5f);
    EXPECT_FLOAT_EQ(out[1], -2.0f);
    EXPECT_FLOAT_EQ(out[2], 300.0f);
    EXPECT_EQ(KVTP_unpack_noseq("  -1.25 7", -1, 2), -125);
}

}  // namespace
