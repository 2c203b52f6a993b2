// SPDX-License-Identifier: MIT
// The static inline helpers: mark names, including the malformed forms an
// application must not trust, and result names. (The payload decoders are
// checked through the wire module, which decodes with them.)
#include <gtest/gtest.h>
#include <vrelay/vrelay_helpers.h>

#include <cstring>

namespace {

TEST(Helpers, WordMarkNames) {
    struct Row { const char* name; int ok; vr_word_mark mark; };
    const Row rows[] = {
        {"kvtk_12_14_3_6", 1, {12, 14, 3, 6}}, {"kvtk_2147483647_0_1_1", 1, {2147483647, 0, 1, 1}},
        {"kvtk_2147483648_0_1_1", 0, {}},  // beyond int32
        {"kvtk_1_2_3", 0, {}},             // a field missing
        {"kvtk_1_2_3_4_5", 0, {}},         // more after the fourth field
        {"kvtk_1__3_4", 0, {}},            // a field without digits
        {"kvox_final", 0, {}},
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

TEST(Helpers, ResultNames) {
    EXPECT_STREQ(vr_result_name(VR_SUCCESS), "VR_SUCCESS");
    EXPECT_STREQ(vr_result_name(VR_CANCELLED), "VR_CANCELLED");
    EXPECT_STREQ(vr_result_name(VR_NO_CURRENT_VOICE), "VR_NO_CURRENT_VOICE");
    EXPECT_STREQ(vr_result_name(-99), "VR_UNKNOWN_RESULT");
}

}  // namespace
