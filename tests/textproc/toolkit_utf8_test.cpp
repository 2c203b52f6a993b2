// UTF-8 validation, stepping and conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "textproc/KVTP_string.h"

namespace {

struct CheckCase {
    const char* what;
    std::string bytes;
    int32_t len;  // -2: the size of bytes
    int32_t offset;
    int32_t bad;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.what;
}

class CheckUtf8Table : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckUtf8Table, ReportsFirstProblemAndItsLength) {
    const CheckCase& c = GetParam();
    const int32_t len = c.len == -2 ? static_cast<int32_t>(c.bytes.size()) : c.len;
    int32_t bad = 1234;
    EXPECT_EQ(KVTP_check_utf8(c.bytes.data(), len, &bad), c.offset) << c.what;
    EXPECT_EQ(bad, c.bad) << c.what;
}

using std::string_literals::operator""s;

const CheckCase kCheckCases[] = {
    {"ascii", "abc", -2, -1, -1},
    {"valid mixed", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", -2, -1, -1},
    {"highest code point", "\xF4\x8F\xBF\xBF", -2, -1, -1},
    {"zero length", "abc", 0, -1, -1},
    {"negative length", "\xFF", -5, -1, -1},
    {"bad second byte", "a\xC3\x28", -2, 1, 1},
    {"overlong three-byte", "a\xE0\x80\x80", -2, 1, 2},
    {"NUL inside length", "ab\0c"s, -2, 2, 1},
    {"stray continuation", "\x80", -2, 0, 1},
    {"overlong two-byte lead", "\xC1\x81", -2, 0, 1},
    {"0xFF", "\xFF\x80", -2, 0, 2},
    {"lead above F4", "\xF5\x80\x80\x80", -2, 0, 3},
    {"five-byte lead", "\xF8\x80\x80\x80\x80", -2, 0, 4},
    {"five-byte lead near end", "\xF8\x80", -2, 0, 2},
    {"truncated three-byte", "\xE2\x82", -2, 0, 2},
    {"truncated four-byte", "a\xF0\x9F", -2, 1, 2},
    {"cut by the length", "\xC3\xA9", 1, 0, 1},
    {"surrogate", "\xED\xA0\x80", -2, 0, 2},
    {"overlong four-byte", "\xF0\x80\x80\x80", -2, 0, 3},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", -2, 0, 3},
    {"bad third byte", "\xE2\x82\x28", -2, 0, 1},
    {"bad fourth byte", "\xF0\x9F\x98\x28", -2, 0, 1},
    {"bad third of four", "\xF0\x9F\x28\x80", -2, 0, 2},
    {"problem after valid text", "\xC3\xA9z\x80", -2, 3, 1},
};

INSTANTIATE_TEST_SUITE_P(Utf8, CheckUtf8Table, ::testing::ValuesIn(kCheckCases));

TEST(Utf8, CheckAcceptsNullBadLength) {
    EXPECT_EQ(KVTP_check_utf8("\x80", 1, nullptr), 0);
    EXPECT_EQ(KVTP_check_utf8(nullptr, 4, nullptr), -1);
}

TEST(Utf8, SequenceLengthTable) {
    const struct {
        unsigned char lead;
        int32_t len;
    } cases[] = {{0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3},
                 {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xF8, 5}, {0xFB, 5}, {0xFC, 6}, {0xFF, 6}};
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_u8_seqlen(c.lead), c.len) << int(c.lead);
}

TEST(Utf8, IncAdvancesOverOneCharacterOfAtMostFourBytes) {
    const char* s =
        "a\xC3\xA9"
        "b";
    int32_t i = 0;
    EXPECT_EQ(KVTP_u8_inc(s, &i), 1);
    EXPECT_EQ(KVTP_u8_inc(s, &i), 3);
    EXPECT_EQ(KVTP_u8_inc(s, &i), 4);
    i = 0;
    EXPECT_EQ(KVTP_u8_inc("\x80\x80x", &i), 2);  // stray continuations join
    i = 0;
    EXPECT_EQ(KVTP_u8_inc("\xC3\x80\x80\x80\x80\x80", &i), 4);
    i = 0;
    EXPECT_EQ(KVTP_u8_inc("", &i), 1);  // steps over the NUL, reads no further
}

TEST(Utf8, DecStepsBackInsideTheLengthOnly) {
    const char* s =
        "a\xC3\xA9"
        "b";
    int32_t i = 3;
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 1);
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 0);
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), -1);  // below 1: plain decrement
    i = 9;
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 8);  // beyond the length: plain decrement
    const char* longrun = "x\x80\x80\x80\x80\x80";
    i = 6;
    EXPECT_EQ(KVTP_u8_dec(longrun, &i, 6), 2);  // at most four bytes back
}

TEST(Utf8, CountingAndIndexingCharacters) {
    const char* s = "a\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(KVTP_u8_strlen(s), 3);
    EXPECT_EQ(KVTP_u8_strlen(""), 0);
    EXPECT_EQ(KVTP_u8_at(s, 2), s + 3);
    EXPECT_EQ(KVTP_u8_at(s, 10), s + 6);
    EXPECT_EQ(KVTP_u8_bytelen(s, 2), 3);
    EXPECT_EQ(KVTP_u8_bytelen(s, 3), 6);
    EXPECT_EQ(KVTP_u8_bytelen(s, 4), 0);
    EXPECT_EQ(KVTP_u8_bytelen(s, 0), 0);
}

TEST(Utf8, Latin1ByteToUtf8) {
    char out[3];
    EXPECT_EQ(KVTP_utf82ISO88591(0xE9, out), 1);
    EXPECT_EQ(std::string(out, 3), std::string("\xC3\xA9\0", 3));
    EXPECT_EQ(KVTP_utf82ISO88591(0xA0, out), 1);
    EXPECT_EQ(std::string(out, 2), "\xC2\xA0");
    EXPECT_EQ(KVTP_utf82ISO88591(0x80, out), 1);
    EXPECT_EQ(std::string(out, 2), "\xC2\x80");
    EXPECT_EQ(KVTP_utf82ISO88591(0xFF, out), 1);
    EXPECT_EQ(std::string(out, 2), "\xC3\xBF");
    EXPECT_EQ(KVTP_utf82ISO88591('A', out), 0);
    EXPECT_EQ(std::string(out, 3), std::string("A\0\0", 3));
}

TEST(Utf8, DecodeOneSequence) {
    const struct {
        const char* s;
        int result;
        uint32_t cp;
    } cases[] = {{"A", 1, 0x41},
                 {"\xC3\xA9", 1, 0xE9},
                 {"\xE2\x82\xAC", 1, 0x20AC},
                 {"\xF0\x9F\x98\x80", 1, 0x1F600},
                 {"\xC0\x80", 1, 0},  // overlong, not checked
                 {"\x80", 0, 0},
                 {"\xC3\x28", 0, 0},
                 {"\xC3", 0, 0},  // NUL ends it
                 {"\xF8\x80\x80\x80\x80", 0, 0}};
    for (const auto& c : cases) {
        uint32_t cp = 77;
        EXPECT_EQ(KVTP_utf82unicode(&cp, c.s), c.result) << c.s;
        EXPECT_EQ(cp, c.cp) << c.s;
    }
}

TEST(Utf8, EncodeDecodeAndValidateAgreeOnEveryCodePoint) {
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
        int32_t bad = 0;
        ASSERT_EQ(KVTP_check_utf8(out, n, &bad), surrogate ? 0 : -1) << std::hex << cp;
    }
    EXPECT_EQ(KVTP_unicode2utf8(0x110000, out), 0);
    EXPECT_EQ(std::string(out, 5), std::string(5, '\0'));
}

TEST(Utf8, NextCharCopiesOneCharacter) {
    char out[8];
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82\xACx", out), 3);
    EXPECT_STREQ(out, "\xE2\x82\xAC");
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82", out), 2);  // cut short by the NUL
    EXPECT_EQ(KVTP_next_utf8_char("", out), 0);
    EXPECT_STREQ(out, "");
}

TEST(Utf8, StrncpyCopiesWholeCharactersWithinTheBuffer) {
    const char* s = "a\xC3\xA9\xE2\x82\xAC";
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_utf8_strncpy(buf, s, 4), 3);
    EXPECT_STREQ(buf, "a\xC3\xA9");
    EXPECT_EQ(buf[4], 'Z');
    EXPECT_EQ(KVTP_utf8_strncpy(buf, s, 3), 1);
    EXPECT_STREQ(buf, "a");
    EXPECT_EQ(KVTP_utf8_strncpy(buf, s, 1), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(KVTP_utf8_strncpy(buf, s, 16), 6);
    EXPECT_STREQ(buf, s);
    buf[0] = 'Q';
    EXPECT_EQ(KVTP_utf8_strncpy(buf, s, 0), 0);
    EXPECT_EQ(buf[0], 'Q');
}

}  // namespace
