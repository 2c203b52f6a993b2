// SPDX-License-Identifier: MIT
// Byte-string scanners, number conversions and UTF-8 on counted text.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

namespace {

using std::string_literals::operator""s;

int32_t scan_char_x(const char* s, int32_t len) {
    return KVTP_strlen_char(s, len, 'x');
}

TEST(Scanners, CountLeadingBytesWithinLimitAndBeforeNul) {
    using Scanner = int32_t (*)(const char*, int32_t);
    // -1 means "up to the NUL" for some scanners and "nothing" for others.
    // clang-format off
    const struct { Scanner fn; const char* text; int32_t len, expected; } cases[] = {
        {KVTP_strlen_ws, " \t\r\nx", 10, 4}, {KVTP_strlen_ws, " \vx", 5, 1},
        {KVTP_strlen_ws, "    x", 2, 2}, {KVTP_strlen_ws, "   ", -1, 0},
        {KVTP_strlen_nws, "abc def", 100, 3}, {KVTP_strlen_nws, "ab", 50, 2},
        {KVTP_strlen_nws, nullptr, 5, 0}, {KVTP_strlen_newline, "ab\rc", 10, 2},
        {KVTP_strlen_eol, "ab\rc\nd", -1, 4}, {KVTP_strlen_equals, "a =\"v\"", 6, 2},
        {KVTP_strlen_colon, "key:val", 7, 3}, {KVTP_strlen_comma, "1,2", 3, 1},
        {KVTP_strlen_quote, "ab'c\"", -1, 2}, {scan_char_x, "abxc", -1, 2},
        {KVTP_strnlen, "hello", 3, 3}, {KVTP_strnlen, "hi", 10, 2}, {KVTP_strnlen, "hello", -1, 5},
        {KVTP_strnlen, nullptr, -1, 0}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(c.fn(c.text, c.len), c.expected) << "case " << &c - cases;
}

TEST(Scanners, SearchesCopiesAndCaseChangesStayWithinLimitAndAscii) {
    const char* t = "the cat sat\xE9";
    // clang-format off
    const struct { const char *found, *expected; } searches[] = {
        {KVTP_strnchr(t, -1, 'c'), t + 4}, {KVTP_strnchr(t, 4, 'c'), nullptr},
        {KVTP_strnchr(t, -1, '\0'), nullptr}, {KVTP_strnchr(t, -1, 0xE9), t + 11},
        {KVTP_strnstr(t, -1, "sat", -1), t + 8}, {KVTP_strnstr(t, 10, "sat", -1), nullptr},
        {KVTP_strnstr(t, 11, "sat", 2), t + 8}, {KVTP_strnstr(t, -1, "", -1), t}};
    // clang-format on
    for (const auto& c : searches)
        EXPECT_EQ(c.found, c.expected) << "search " << &c - searches;
    EXPECT_EQ(KVTP_charcount("a,b,,c", 3, ','), 1);
    char buf[16];
    EXPECT_EQ(KVTP_strcpy_ws(buf, "longword rest", 3), 3);
    EXPECT_STREQ(buf, "lon");
    EXPECT_EQ(KVTP_strcpy_newline(buf, "a line\nnext", 15), 6);
    EXPECT_STREQ(buf, "a line");
    char* d = KVTP_strndup("abcdef", 3);
    EXPECT_STREQ(d, "abc");
    KVTP_free(d);
    EXPECT_EQ(KVTP_strndup(nullptr, 3), nullptr);

    char u[] = "Ab[{\xC3\x89z";
    KVTP_asciilower(u);
    EXPECT_STREQ(u, "ab[{\xC3\x89z");
    KVTP_asciiupper(u, 6);
    KVTP_asciireplace(u, 'B', '-');
    EXPECT_STREQ(u, "A-[{\xC3\x89z");
    EXPECT_EQ(KVTP_is_matching_quote('`'), 0);
    EXPECT_FALSE(KVTP_is_whitespace(static_cast<char>(0xA0)));
    EXPECT_FALSE(KVTP_is_eol('\r'));
}

TEST(Scanners, NocaseEqualityIgnoresOnlyTheCaseBit) {
    // clang-format off
    const struct { const char *a, *b; bool equal; } cases[] = {
        {"Info", "INFO", true}, {"INFO", "INFOS", false}, {"[", "{", true} /* 32 apart */,
        {"a", "b", false}, {nullptr, "a", false}, {"a", nullptr, false}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_strcmp_nocase(c.a, c.b) != 0, c.equal) << &c - cases;
}

TEST(Fields, CountsFindsAndReadsWhitespaceSeparatedFields) {
    const char* s = "  one two\t\tthree  ";
    EXPECT_EQ(KVTP_no_strings(s), 3);
    EXPECT_EQ(KVTP_strfield_len(s, 8), 2);  // "  one tw"
    int32_t n = 0;
    const char* f = KVTP_strfield(s, -1, 2, &n);
    EXPECT_EQ(std::string(f, n), "three");
    EXPECT_EQ(KVTP_strfield(s, -1, 3, &n), nullptr);
    f = KVTP_strfield_next(KVTP_strfield(s, -1, 0, &n), -1, &n);
    EXPECT_EQ(std::string(f, n), "two");
    float out[4] = {0, 0, 0, 0};
    EXPECT_EQ(KVTP_strfield_floats(" 1.5 -2 3e2 9", -1, out, 3), 3);
    EXPECT_EQ(out[2] + out[3], 300.0f);  // three read, the fourth untouched
    EXPECT_EQ(KVTP_unpack_noseq("  -1.25 7", -1, 2), -125);
}

TEST(Numbers, IntegerReadersTakeOneSignSkipSeparatorsAndSaturate) {
    // clang-format off
    const struct { const char* text; int32_t len; char sep; int64_t as_int, as_long; } cases[] = {
        {"  -+42a", 7, 0, -42, -42}, {"  -+42a", -1, 0, 0, 0},  // no limit: no white space skipped
        {"- 5", 3, 0, 0, 0}, {"+-5", 3, 0, 0, 0}, {"12", 1, 0, 1, 1},
        {"12", 40, 0, 12, 12}, {"-2147483648", -1, 0, INT32_MIN, INT32_MIN},
        {"2147483648", -1, 0, INT32_MAX, 2147483648LL},
        {"-2147483649", -1, 0, INT32_MIN, -2147483649LL},
        {"99999999999999999999999999", -1, 0, INT32_MAX, INT64_MAX},
        {"-9223372036854775808", -1, 0, INT32_MIN, INT64_MIN},
        {"1,234,567", -1, ',', 1234567, 1234567}, {" -1 234", 7, ' ', -1234, -1234},
        {",12", -1, ',', 0, 0}, {"1.234", -1, ',', 1, 1}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("\""s + c.text + "\" len " + std::to_string(c.len));
        EXPECT_EQ(KVTP_atoisep(c.text, c.len, c.sep), c.as_int);
        EXPECT_EQ(KVTP_atolsep(c.text, c.len, c.sep), c.as_long);
        if (c.sep == 0) {
            EXPECT_EQ(KVTP_atoi(c.text, c.len), c.as_int);
            EXPECT_EQ(KVTP_atol(c.text, c.len), c.as_long);
        }
    }
}

TEST(Numbers, FixedPointScalesByPowerOfTenWithoutRoundingAndSaturates) {
    // clang-format off
    const struct { const char* text; int32_t len, decimals, expected; } cases[] = {
        {"1.2345", -1, 3, 1234}, {"7", -1, 3, 7000}, {"-1.5", -1, 2, -150},
        {".5", -1, 1, 5}, {"0001.5", -1, 1, 15}, {"abc", -1, 2, 0}, {"1.5", -1, -3, 1},
        {"1.25", 3, 2, 120}, {"123456", -1, 4, 1234560000}, {"1234567", -1, 4, 999999999},
        {"-1234567", -1, 4, -999999999}, {"9999999999", -1, 0, 999999999},  // beyond int32
        {"0.000000001", -1, 20, 999999999}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_atoifp(c.text, c.len, c.decimals), c.expected)
            << "\"" << c.text << "\" len " << c.len << " decimals " << c.decimals;
}

TEST(Numbers, IntegerWritersHandleExtremesAndRefuseSmallBuffersWithoutOverrun) {
    char buf[40];
    EXPECT_EQ(KVTP_itoa(INT32_MIN, buf, 30), 1);
    EXPECT_STREQ(buf, "-2147483648");
    EXPECT_EQ(KVTP_ltoa(INT64_MIN, buf, 30), 1);
    EXPECT_STREQ(buf, "-9223372036854775808");
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_itoa(5, buf, 5), 0);
    EXPECT_STREQ(buf, "TO_S");
    EXPECT_EQ(buf[5], 'Z');
    EXPECT_EQ(KVTP_itoa(5, nullptr, 40), 0);
}

TEST(Numbers, FtoaRoundsHalfUpInFixedAndExponentFormsAndRefusesWhatDoesNotFit) {
    // clang-format off
    const struct { float value; int32_t precision; const char* format; int32_t size;
                   int ok; const char* expected; } cases[] = {
        {3.14159f, 3, "f", 64, 1, "3.142"}, {2.5f, 0, "F", 64, 1, "3"}, {-0.25f, 1, "f", 64, 1, "-0.3"},
        {1234.5f, 3, "e", 64, 1, "1.235E3"}, {1.0f, 2, "e", 64, 1, "1.00E"},
        {0.00125f, 2, "g", 64, 1, "1.25E-3"}, {-9.9999f, 1, "e", 64, 1, "-1.0E1"},
        {1.0f, 0, "e", 64, 1, "1.000000E"}, {INFINITY, 2, "f", 64, 1, "inf"},
        {-INFINITY, 2, "e", 64, 1, "-inf"},
        {123.0f, 40, "e", 64, 1, "1.2300000000000000000000E2"},  // at most 23 digits
        {FLT_MAX, 0, "f", 64, 1, "340282346638528859811704183484516925440"},
        {FLT_MAX, 3, "f", 30, 0, "OVERFLOW"}, {1.0f, 2, "f", 20, 0, "TO_SHORT"}};
    // clang-format on
    char buf[64];
    for (const auto& c : cases) {
        EXPECT_EQ(KVTP_ftoa(c.value, buf, c.size, c.precision, c.format), c.ok) << c.expected;
        EXPECT_STREQ(buf, c.expected);
    }
}

TEST(Numbers, AtofReadsDecimalWithExponentAndOverflowsToInfinity) {
    // clang-format off
    const struct { const char* text; int32_t len; float expected; } cases[] = {
        {"  -2.5e2", 8, -250.0f}, {"1e40", -1, INFINITY}, {"-1e40", -1, -INFINITY},
        {"1e-50", -1, 0.0f}, {"abc", -1, 0.0f}, {"1.5", 2, 1.0f}, {".5", -1, 0.5f},
        {"1E", -1, 1.0f}, {"0.1", -1, 0.1f}, {"1e999999999999", -1, INFINITY}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_atof(c.text, c.len), c.expected) << "\"" << c.text << "\"";
}

TEST(Numbers, NineSignificantDigitsRoundTripThroughAtof) {
    uint32_t bits = 12345u;
    for (int i = 0; i < 2000; ++i) {
        bits = bits * 1664525u + 1013904223u;
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v) || std::fpclassify(v) == FP_SUBNORMAL)
            continue;
        char buf[64];
        ASSERT_EQ(KVTP_ftoa(v, buf, sizeof buf, 8, "e"), 1);
        EXPECT_EQ(KVTP_atof(buf, -1), v) << buf;
    }
}

TEST(Utf8, CheckReportsFirstProblemAndItsLength) {
    // clang-format off
    const struct { std::string bytes; int32_t len, offset, bad; } cases[] = {
        {"a\xC3\x28", 3, 1, 1}, {"a\xE0\x80\x80", 4, 1, 2}, {"ab\0c"s, 4, 2, 1}, {"\x80", 1, 0, 1},
        {"\xC1\x81", 2, 0, 1}, {"\xFF\x80", 2, 0, 2}, {"\xF5\x80\x80\x80", 4, 0, 3},
        {"a\xF0\x9F\x98\x80", 3, 1, 2}, {"\xC3\xA9", 1, 0, 1},
        {"\xED\xA0\x80", 3, 0, 2}, {"\xF0\x80\x80\x80", 4, 0, 3}, {"\xF4\x90\x80\x80", 4, 0, 3},
        {"\xE2\x82\x28", 3, 0, 1}, {"\xF0\x9F\x28\x80", 4, 0, 2}, {"\xC3\xA9z\x80", 4, 3, 1},
        {"\xFF", 0, -1, -1}};
    // clang-format on
    for (const auto& c : cases) {
        int32_t bad = 1234;
        EXPECT_EQ(KVTP_check_utf8(c.bytes.data(), c.len, &bad), c.offset) << "case " << &c - cases;
        EXPECT_EQ(bad, c.bad) << "case " << &c - cases;
    }
    EXPECT_EQ(KVTP_check_utf8("\x80", 1, nullptr), 0);
    EXPECT_EQ(KVTP_check_utf8(nullptr, 4, nullptr), -1);
}

TEST(Utf8, EncodeDecodeAndValidateAgreeOnEveryCodePointAndDecodingRejectsBrokenInput) {
    char out[5];
    for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        ASSERT_EQ(KVTP_unicode2utf8(cp, out), 1);
        ASSERT_EQ(out[4], '\0');
        const int32_t n = static_cast<int32_t>(std::strlen(out));
        ASSERT_EQ(KVTP_u8_seqlen(static_cast<unsigned char>(out[0])), n);
        uint32_t back = 0;
        ASSERT_EQ(KVTP_utf82unicode(&back, out), 1);
        ASSERT_EQ(back, cp);
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        ASSERT_EQ(KVTP_check_utf8(out, n, nullptr), surrogate ? 0 : -1) << std::hex << cp;
    }
    EXPECT_EQ(KVTP_unicode2utf8(0x110000, out), 0);
    EXPECT_EQ(std::string(out, 5), std::string(5, '\0'));
    for (const char* broken : {"\x80", "\xC3\x28", "\xC3", "\xF8\x80\x80\x80\x80"}) {
        uint32_t cp = 77;
        EXPECT_EQ(KVTP_utf82unicode(&cp, broken), 0) << broken;
        EXPECT_EQ(cp, 0u);
    }
}

TEST(Utf8, StepsFollowTheLeadByteAndTakeAtMostFourBytes) {
    // Leads beyond those of valid code points; the others agree with encoding.
    for (const auto& [lead, len] : {std::pair{0xBF, 1}, {0xF7, 4}, {0xF8, 5}, {0xFB, 5}, {0xFC, 6}})
        EXPECT_EQ(KVTP_u8_seqlen(static_cast<unsigned char>(lead)), len) << lead;
    // Stray continuations join; at most four bytes; the NUL is stepped over.
    for (const auto& [text, next] :
         {std::pair{"\x80\x80x", 2}, {"\xC3\x80\x80\x80\x80\x80", 4}, {"", 1}}) {
        int32_t i = 0;
        EXPECT_EQ(KVTP_u8_inc(text, &i), next) << text;
    }
    // Outside 1..len a plain decrement; at most four bytes back.
    for (const auto& [from, to] : {std::pair{3, 1}, {0, -1}, {9, 8}, {6, 2}}) {
        int32_t i = from;
        EXPECT_EQ(KVTP_u8_dec("x\xC3\xA9\x80\x80\x80", &i, 6), to) << from;
    }
}

TEST(Utf8, CountingIndexingAndCopyingTakeWholeCharacters) {
    const char* s = "a\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(KVTP_u8_strlen(s), 3);
    EXPECT_EQ(KVTP_u8_at(s, 2), s + 3);
    EXPECT_EQ(KVTP_u8_at(s, 10), s + 6);
    EXPECT_EQ(KVTP_u8_bytelen(s, 2), 3);
    EXPECT_EQ(KVTP_u8_bytelen(s, 4), 0);
    char out[16];
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82\xACx", out), 3);
    EXPECT_STREQ(out, "\xE2\x82\xAC");
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82", out), 2);  // cut short by the NUL
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 4), 3);
    EXPECT_STREQ(out, "a\xC3\xA9");
    EXPECT_EQ(out[4], 'Z');
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 16), 6);
    out[0] = 'Q';
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 0), 0);
    EXPECT_EQ(out[0], 'Q');
}

}  // namespace
