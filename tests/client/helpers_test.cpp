// SPDX-License-Identifier: MIT
// The static inline helpers: mark names and the two payloads the reference
// server sends, including the malformed forms an application must not trust.
#include <gtest/gtest.h>
#include <vrelay/vrelay_helpers.h>

#include <cstring>
#include <string>

namespace {

TEST(Helpers, WordMarkNames) {
    struct Row {
        const char* name;
        int ok;
        vr_word_mark mark;
    };
    const Row rows[] = {
        {"kvtk_0_0_5_5", 1, {0, 0, 5, 5}},
        {"kvtk_12_14_3_6", 1, {12, 14, 3, 6}},
        {"kvtk_2147483647_0_1_1", 1, {2147483647, 0, 1, 1}},
        {"kvtk_2147483648_0_1_1", 0, {}},  // beyond int32
        {"kvtk_1_2_3", 0, {}},             // a field missing
        {"kvtk_1_2_3_4_5", 0, {}},         // a field too many
        {"kvtk_1_2_3_4x", 0, {}},          // trailing junk
        {"kvtk_-1_2_3_4", 0, {}},          // signs are not digits
        {"kvtk_1__3_4", 0, {}},            // empty field
        {"kvox_final", 0, {}},
        {"", 0, {}},
    };
    for (const Row& row : rows) {
        vr_word_mark mark = {-7, -7, -7, -7};
        EXPECT_EQ(vr_parse_word_mark(row.name, &mark), row.ok) << row.name;
        const vr_word_mark expected = row.ok ? row.mark : vr_word_mark{-7, -7, -7, -7};
        EXPECT_EQ(std::memcmp(&mark, &expected, sizeof mark), 0) << row.name;
    }
    EXPECT_TRUE(vr_is_final_mark("kvox_final"));
    EXPECT_FALSE(vr_is_final_mark("kvox_finale"));
    EXPECT_FALSE(vr_is_final_mark(nullptr));
}

TEST(Helpers, AudioFormatPayload) {
    const unsigned char payload[] = {0x00, 0x00, 0x56, 0x22, 0x00, 0x10, 0x00, 0x01};
    vr_audio_format format{};
    ASSERT_TRUE(vr_decode_audio_format(payload, sizeof payload, &format));
    EXPECT_EQ(format.sample_rate, 22050u);
    EXPECT_EQ(format.bits_per_sample, 16);
    EXPECT_EQ(format.channels, 1);
    EXPECT_FALSE(vr_decode_audio_format(payload, 7, &format));
}

TEST(Helpers, MarkPayloads) {
    const std::string good("\x00\x01\x00\x02kvtk_0_0_2_2\0", 17);
    vr_mark_event mark{};
    ASSERT_TRUE(vr_decode_mark(good.data(), static_cast<int32_t>(good.size()), &mark));
    EXPECT_EQ(mark.sample_offset, 65538);
    EXPECT_STREQ(mark.name, "kvtk_0_0_2_2");
    // The name must end inside the payload; an offset alone is not a mark.
    EXPECT_FALSE(vr_decode_mark(good.data(), static_cast<int32_t>(good.size()) - 1, &mark));
    EXPECT_FALSE(vr_decode_mark(good.data(), 4, &mark));
}

TEST(Helpers, ResultNames) {
    EXPECT_STREQ(vr_result_name(VR_SUCCESS), "VR_SUCCESS");
    EXPECT_STREQ(vr_result_name(VR_CANCELLED), "VR_CANCELLED");
    EXPECT_STREQ(vr_result_name(VR_NO_CURRENT_VOICE), "VR_NO_CURRENT_VOICE");
    EXPECT_STREQ(vr_result_name(-99), "VR_UNKNOWN_RESULT");
}

}  // namespace
