#include "server/protocol.h"

#include <gtest/gtest.h>

namespace vrelay {
namespace server {
namespace {

TEST(Protocol, FormatIsBigEndianRateBitsChannels) {
    AudioFormat format;
    format.sample_rate = 22050;
    const std::vector<unsigned char> bytes = EncodeFormat(format);
    EXPECT_EQ(bytes, (std::vector<unsigned char>{0, 0, 0x56, 0x22, 0, 16, 0, 1}));
    AudioFormat back;
    ASSERT_TRUE(DecodeFormat(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.sample_rate, 22050u);
    EXPECT_EQ(back.bits, 16);
    EXPECT_EQ(back.channels, 1);
    EXPECT_FALSE(DecodeFormat(bytes.data(), 7, &back));
}

TEST(Protocol, MarkIsOffsetThenNulTerminatedName) {
    const std::vector<unsigned char> bytes = EncodeMark(-2, "kvtk_1_1_2_2");
    EXPECT_EQ(bytes.size(), 4u + 12 + 1);
    EXPECT_EQ(bytes[0], 0xff);
    EXPECT_EQ(bytes[3], 0xfe);
    MarkReached mark;
    ASSERT_TRUE(DecodeMark(bytes.data(), bytes.size(), &mark));
    EXPECT_EQ(mark.sample, -2);
    EXPECT_EQ(mark.name, "kvtk_1_1_2_2");
    // No NUL inside the payload, or too short: refused.
    EXPECT_FALSE(DecodeMark(bytes.data(), bytes.size() - 1, &mark));
    EXPECT_FALSE(DecodeMark(bytes.data(), 4, &mark));
}

TEST(Protocol, AudioIsLittleEndianWhateverTheHost) {
    const int16_t samples[] = {1, -2, 0x1234};
    const std::vector<unsigned char> bytes = EncodeAudio(samples, 3);
    EXPECT_EQ(bytes, (std::vector<unsigned char>{1, 0, 0xfe, 0xff, 0x34, 0x12}));
    EXPECT_EQ(DecodeAudio(bytes.data(), bytes.size()), (std::vector<int16_t>{1, -2, 0x1234}));
}

TEST(Protocol, TextStopsAtTheFirstNul) {
    const unsigned char payload[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(DecodeText(payload, 4), "ab");
    EXPECT_EQ(DecodeText(payload, 2), "ab");
    EXPECT_EQ(EncodeText("ab"), (std::vector<unsigned char>{'a', 'b', 0}));
}

}  // namespace
}  // namespace server
}  // namespace vrelay
