// UTF-8 validation, stepping and conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "textproc/toolkit/string_ops.h"

namespace {

using std::string_literals::operator""s;

TEST(Utf8, CheckReportsFirstProblemAndItsLength) {
    // clang-format off
    const struct { std::string bytes; int32_t offset, bad; } cases[] = {
        {"abc", -1, -1}, {"\xC3\xA9\xE2\x82\xAC", -1, -1}, {"\xF0\x9F\x98\x80", -1, -1},
        {"\xF4\x8F\xBF\xBF", -1, -1}, {"a\xC3\x28", 1, 1}, {"a\xE0\x80\x80", 1, 2},
        {"ab\0c"s, 2, 1}, {"\x80", 0, 1}, {"\xC1\x81", 0, 1}, {"\xFF\x80", 0, 2},
        {"\xF5\x80\x80\x80", 0, 3}, {"\xF8\x80\x80\x80\x80", 0, 4}, {"\xF8\x80", 0, 2},
        {"\xE2\x82", 0, 2}, {"a\xF0\x9F", 1, 2}, {"\xED\xA0\x80", 0, 2},
        {"\xF0\x80\x80\x80", 0, 3}, {"\xF4\x90\x80\x80", 0, 3}, {"\xE2\x82\x28", 0, 1},
        {"\xF0\x9F\x98\x28", 0, 1}, {"\xF0\x9F\x28\x80", 0, 2}, {"\xC3\xA9z\x80", 3, 1}};
    // clang-format on
    for (const auto& c : cases) {
        int32_t bad = 1234;
        const int32_t len = static_cast<int32_t>(c.bytes.size());
        EXPECT_EQ(KVTP_check_utf8(c.bytes.data(), len, &bad), c.offset) << "case " << &c - cases;
        EXPECT_EQ(bad, c.bad) << "case " << &c - cases;
    }
    int32_t bad = 0;
    EXPECT_EQ(KVTP_check_utf8("\xC3\xA9", 1, &bad), 0);  // cut by the length
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(KVTP_check_utf8("\xFF", 0, &bad), -1);
    EXPECT_EQ(KVTP_check_utf8("\xFF", -5, &bad), -1);
    EXPECT_EQ(bad, -1);
    EXPECT_EQ(KVTP_check_utf8("\x80", 1, nullptr), 0);
    EXPECT_EQ(KVTP_check_utf8(nullptr, 4, nullptr), -1);
}

TEST(Utf8, SequenceLengthFollowsTheLeadByteAndStepsTakeAtMostFourBytes) {
    // clang-format off
    const struct { unsigned char lead; int32_t len; } leads[] = {
        {0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3},
        {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xF8, 5}, {0xFB, 5}, {0xFC, 6}, {0xFF, 6}};
    // clang-format on
    for (const auto& c : leads)
        EXPECT_EQ(KVTP_u8_seqlen(c.lead), c.len) << int(c.lead);

    const char* s = "a\xC3\xA9z";
    int32_t i = 0;
    EXPECT_EQ(KVTP_u8_inc(s, &i), 1);
    EXPECT_EQ(KVTP_u8_inc(s, &i), 3);
    EXPECT_EQ(KVTP_u8_inc(s, &i), 4);
    // Stray continuations join; at most four bytes; the NUL is stepped over.
    for (const auto& [text, next] :
         {std::pair{"\x80\x80x", 2}, {"\xC3\x80\x80\x80\x80\x80", 4}, {"", 1}}) {
        i = 0;
        EXPECT_EQ(KVTP_u8_inc(text, &i), next) << text;
    }
    i = 3;
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 1);
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 0);
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), -1);  // below 1: plain decrement
    i = 9;
    EXPECT_EQ(KVTP_u8_dec(s, &i, 4), 8);  // beyond the length: plain decrement
    i = 6;
    EXPECT_EQ(KVTP_u8_dec("x\x80\x80\x80\x80\x80", &i, 6), 2);  // at most four bytes back
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

TEST(Utf8, SingleCharacterConversionsRejectBrokenInput) {
    // clang-format off
    const struct { unsigned char byte; int result; std::string out; } latin1[] = {
        {0xE9, 1, "\xC3\xA9\0"s}, {0xA0, 1, "\xC2\xA0\0"s}, {0x80, 1, "\xC2\x80\0"s},
        {0xFF, 1, "\xC3\xBF\0"s}, {'A', 0, "A\0\0"s}};
    // clang-format on
    for (const auto& c : latin1) {
        char out[3] = {'Z', 'Z', 'Z'};
        EXPECT_EQ(KVTP_utf82ISO88591(c.byte, out), c.result) << int(c.byte);
        EXPECT_EQ(std::string(out, 3), c.out) << int(c.byte);
    }
    // clang-format off
    const struct { const char* s; int result; uint32_t cp; } decode[] = {
        {"A", 1, 0x41}, {"\xC3\xA9", 1, 0xE9}, {"\xE2\x82\xAC", 1, 0x20AC},
        {"\xF0\x9F\x98\x80", 1, 0x1F600}, {"\xC0\x80", 1, 0},  // overlong, not checked
        {"\x80", 0, 0}, {"\xC3\x28", 0, 0}, {"\xC3", 0, 0}, {"\xF8\x80\x80\x80\x80", 0, 0}};
    // clang-format on
    for (const auto& c : decode) {
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

TEST(Utf8, CopiesTakeWholeCharactersOnly) {
    char out[16];
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82\xACx", out), 3);
    EXPECT_STREQ(out, "\xE2\x82\xAC");
    EXPECT_EQ(KVTP_next_utf8_char("\xE2\x82", out), 2);  // cut short by the NUL
    EXPECT_EQ(KVTP_next_utf8_char("", out), 0);
    EXPECT_STREQ(out, "");

    const char* s = "a\xC3\xA9\xE2\x82\xAC";
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 4), 3);
    EXPECT_STREQ(out, "a\xC3\xA9");
    EXPECT_EQ(out[4], 'Z');
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 3), 1);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 16), 6);
    EXPECT_STREQ(out, s);
    out[0] = 'Q';
    EXPECT_EQ(KVTP_utf8_strncpy(out, s, 0), 0);
    EXPECT_EQ(out[0], 'Q');
}

}  // namespace
