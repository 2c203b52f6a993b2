// Number conversions on counted text.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "textproc/toolkit/string_ops.h"

namespace {

TEST(Numbers, IntegerReadersTakeOneSignAndSaturate) {
    // clang-format off
    const struct { const char* text; int32_t len; int64_t as_int, as_long; } cases[] = {
        {"  -+42a", 7, -42, -42}, {"  -+42a", -1, 0, 0},  // no limit: no white space skipped
        {"-+42", -1, -42, -42}, {"+", 1, 0, 0}, {"-", 1, 0, 0}, {"- 5", 3, 0, 0}, {"--5", 3, 0, 0},
        {"+-5", 3, 0, 0}, {"12", 1, 1, 1}, {"12", 0, 0, 0}, {"   ", 3, 0, 0}, {"x12", 3, 0, 0},
        {"12", 40, 12, 12}, {"\t\r\n 7", 5, 7, 7}, {"0042", -1, 42, 42},
        {"2147483647", -1, INT32_MAX, INT32_MAX}, {"-2147483648", -1, INT32_MIN, INT32_MIN},
        {"2147483648", -1, INT32_MAX, 2147483648LL}, {"-2147483649", -1, INT32_MIN, -2147483649LL},
        {"99999999999999999999999999", -1, INT32_MAX, INT64_MAX},
        {"9223372036854775807", -1, INT32_MAX, INT64_MAX},
        {"-9223372036854775808", -1, INT32_MIN, INT64_MIN},
        {"-99999999999999999999", -1, INT32_MIN, INT64_MIN}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(KVTP_atoi(c.text, c.len), c.as_int) << "\"" << c.text << "\" len " << c.len;
        EXPECT_EQ(KVTP_atol(c.text, c.len), c.as_long) << "\"" << c.text << "\" len " << c.len;
    }
}

TEST(Numbers, SeparatorIsSkippedAmongDigits) {
    EXPECT_EQ(KVTP_atoisep("1,234", 5, ','), 1234);
    EXPECT_EQ(KVTP_atoisep("1,234,567", -1, ','), 1234567);
    EXPECT_EQ(KVTP_atoisep(" -1 234", 7, ' '), -1234);
    EXPECT_EQ(KVTP_atoisep(",12", -1, ','), 0);
    EXPECT_EQ(KVTP_atoisep("1,234", 3, ','), 12);
    EXPECT_EQ(KVTP_atoisep("1.234", -1, ','), 1);
    EXPECT_EQ(KVTP_atolsep("9.223.372.036.854.775.807", -1, '.'), INT64_MAX);
    EXPECT_EQ(KVTP_atoisep("12", -1, '\0'), 12);
}

TEST(Numbers, FixedPointScalesByPowerOfTenWithoutRoundingAndSaturates) {
    // clang-format off
    const struct { const char* text; int32_t len, decimals, expected; } cases[] = {
        {"1.2345", -1, 3, 1234}, {"7", -1, 3, 7000}, {"0.5", -1, 3, 500}, {"12.3456", -1, 3, 12345},
        {"-1.5", -1, 2, -150}, {"1.999", -1, 0, 1}, {".5", -1, 1, 5}, {"0001.5", -1, 1, 15},
        {"abc", -1, 2, 0}, {"1.5", -1, -3, 1}, {"1.25", 3, 2, 120}, {"  2.5", 5, 1, 25},
        {"2.5", 0, 1, 0}, {"123456", -1, 4, 1234560000}, {"1234567", -1, 4, 999999999},
        {"-1234567", -1, 4, -999999999}, {"12345678901", -1, 0, 999999999},
        {"9999999999", -1, 0, 999999999},  // 10 digits but beyond int32
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
    EXPECT_EQ(KVTP_itoa(0, buf, 30), 1);
    EXPECT_STREQ(buf, "0");
    EXPECT_EQ(KVTP_ltoa(INT64_MIN, buf, 30), 1);
    EXPECT_STREQ(buf, "-9223372036854775808");
    EXPECT_EQ(KVTP_ltoa(INT64_MAX, buf, 30), 1);
    EXPECT_STREQ(buf, "9223372036854775807");

    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_itoa(5, buf, 20), 0);
    EXPECT_STREQ(buf, "TO_SHORT");
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(KVTP_itoa(5, buf, 5), 0);
    EXPECT_STREQ(buf, "TO_S");
    EXPECT_EQ(buf[5], 'Z');
    EXPECT_EQ(KVTP_itoa(5, buf, 0), 0);
    EXPECT_EQ(KVTP_itoa(5, nullptr, 40), 0);
}

TEST(Numbers, FtoaRoundsHalfUpInFixedAndExponentForms) {
    // clang-format off
    const struct { float value; int32_t precision; const char *format, *expected; } cases[] = {
        {3.14159f, 3, "f", "3.142"}, {0.5f, 0, "f", "1"}, {2.5f, 0, "F", "3"},
        {-0.25f, 1, "f", "-0.3"}, {0.0f, 3, "f", "0.000"}, {0.001f, 3, "f", "0.001"},
        {1000000.0f, 2, "f", "1000000.00"}, {1234.5f, 3, "e", "1.235E3"}, {1.0f, 2, "e", "1.00E"},
        {0.00125f, 2, "g", "1.25E-3"}, {-9.9999f, 1, "e", "-1.0E1"}, {1.0f, 0, "e", "1.000000E"},
        {0.0f, 2, "e", "0.00E"}, {INFINITY, 2, "f", "inf"}, {-INFINITY, 2, "e", "-inf"},
        {123.0f, 40, "e", "1.2300000000000000000000E2"}};  // at most 23 digits
    // clang-format on
    char buf[64];
    for (const auto& c : cases) {
        EXPECT_EQ(KVTP_ftoa(c.value, buf, sizeof buf, c.precision, c.format), 1) << c.expected;
        EXPECT_STREQ(buf, c.expected);
    }
}

TEST(Numbers, FtoaRefusesSmallBuffersAndReportsOverflow) {
    char buf[64];
    EXPECT_EQ(KVTP_ftoa(1.0f, buf, 20, 2, "f"), 0);
    EXPECT_STREQ(buf, "TO_SHORT");
    // 39 integer digits do not fit 30 bytes.
    EXPECT_EQ(KVTP_ftoa(FLT_MAX, buf, 30, 3, "f"), 0);
    EXPECT_STREQ(buf, "OVERFLOW");
    EXPECT_EQ(KVTP_ftoa(FLT_MAX, buf, sizeof buf, 0, "f"), 1);
    EXPECT_EQ(std::strlen(buf), 39u);
    EXPECT_EQ(std::string(buf, 8), "34028234");
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
        // The exponent may be absent ("E" alone) for exponent 0.
        EXPECT_EQ(KVTP_atof(buf, -1), v) << buf;
    }
}

TEST(Numbers, AtofReadsDecimalWithExponentAndOverflowsToInfinity) {
    // clang-format off
    const struct { const char* text; int32_t len; float expected; } cases[] = {
        {"1.5", -1, 1.5f}, {"  -2.5e2", 8, -250.0f}, {"1e40", -1, INFINITY}, {"-1e40", -1, -INFINITY},
        {"1e-50", -1, 0.0f}, {"abc", -1, 0.0f}, {"3.25xyz", -1, 3.25f}, {"1.5", 2, 1.0f},
        {".5", -1, 0.5f}, {"1E", -1, 1.0f}, {"0.1", -1, 0.1f}, {"1e999999999999", -1, INFINITY},
        {"2.5E-3", -1, 0.0025f}, {"", 0, 0.0f}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(KVTP_atof(c.text, c.len), c.expected) << "\"" << c.text << "\"";
}

}  // namespace
