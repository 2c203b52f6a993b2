#include "server/protocol.h"

#include <gtest/gtest.h>

namespace vrelay {
namespace server {
namespace {

using Bytes = std::vector<unsigned char>;

TEST(Protocol, FormatIsBigEndianRateBitsChannels) {
    AudioFormat format;
    format.sample_rate = 22050;
    const Bytes bytes = EncodeFormat(format);
    EXPECT_EQ(bytes, (Bytes{0, 0, 0x56, 0x22, 0, 16, 0, 1}));
    AudioFormat back;
    ASSERT_TRUE(DecodeFormat(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.sample_rate, 22050u);
    EXPECT_FALSE(DecodeFormat(bytes.data(), 7, &back));
}

TEST(Protocol, MarkIsBigEndianOffsetThenNulTerminatedName) {
    const Bytes bytes = EncodeMark(-2, "kvtk_1");
    EXPECT_EQ(bytes, (Bytes{0xff, 0xff, 0xff, 0xfe, 'k', 'v', 't', 'k', '_', '1', 0}));
    MarkReached mark;
    ASSERT_TRUE(DecodeMark(bytes.data(), bytes.size(), &mark));
    EXPECT_EQ(mark.sample, -2);
    EXPECT_EQ(mark.name, "kvtk_1");
    // No NUL inside the payload, or too short: refused.
    EXPECT_FALSE(DecodeMark(bytes.data(), bytes.size() - 1, &mark));
    EXPECT_FALSE(DecodeMark(bytes.data(), 4, &mark));
}

TEST(Protocol, AudioIsLittleEndianAndTextStopsAtTheFirstNul) {
    const int16_t samples[] = {1, -2, 0x1234};
    const Bytes bytes = EncodeAudio(samples, 3);
    EXPECT_EQ(bytes, (Bytes{1, 0, 0xfe, 0xff, 0x34, 0x12}));
    EXPECT_EQ(DecodeAudio(bytes.data(), bytes.size()), (std::vector<int16_t>{1, -2, 0x1234}));
    const unsigned char payload[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(DecodeText(payload, 4), "ab");
    EXPECT_EQ(DecodeText(payload, 2), "ab");
    EXPECT_EQ(EncodeText("ab"), (Bytes{'a', 'b', 0}));
}

}  // namespace
}  // namespace server
}  // namespace vrelay
