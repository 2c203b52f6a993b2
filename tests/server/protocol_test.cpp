// SPDX-License-Identifier: MIT
#include "server/protocol.h"

#include <gtest/gtest.h>

namespace vrelay {
namespace server {
namespace {

using Bytes = std::vector<unsigned char>;

// Each packet's bytes, and the decoders' refusal of short ones.
TEST(Protocol, PacketsHaveTheirByteLayouts) {
    AudioFormat format;
    format.sample_rate = 22050;
    EXPECT_EQ(EncodeFormat(format),
              (Bytes{0, 0, 0x56, 0x22, 0, 16, 0, 1}));  // rate, bits, channels
    ASSERT_TRUE(DecodeFormat(EncodeFormat(format).data(), 8, &format));
    EXPECT_EQ(format.sample_rate, 22050u);
    EXPECT_FALSE(DecodeFormat(EncodeFormat(format).data(), 7, &format));

    const Bytes mark = EncodeMark(-2, "kvtk_1");  // big-endian offset, NUL-terminated name
    EXPECT_EQ(mark, (Bytes{0xff, 0xff, 0xff, 0xfe, 'k', 'v', 't', 'k', '_', '1', 0}));
    MarkReached reached;
    ASSERT_TRUE(DecodeMark(mark.data(), mark.size(), &reached));
    EXPECT_EQ(reached.sample, -2);
    EXPECT_EQ(reached.name, "kvtk_1");
    EXPECT_FALSE(DecodeMark(mark.data(), mark.size() - 1, &reached));  // no NUL
    EXPECT_FALSE(DecodeMark(mark.data(), 4, &reached));

    const int16_t samples[] = {1, -2, 0x1234};  // little-endian
    EXPECT_EQ(EncodeAudio(samples, 3), (Bytes{1, 0, 0xfe, 0xff, 0x34, 0x12}));
    EXPECT_EQ(DecodeAudio(EncodeAudio(samples, 3).data(), 6),
              (std::vector<int16_t>{1, -2, 0x1234}));
    const unsigned char text[] = {'a', 'b', 0, 'c'};  // up to the first NUL
    EXPECT_EQ(DecodeText(text, 4), "ab");
    EXPECT_EQ(DecodeText(text, 2), "ab");
    EXPECT_EQ(EncodeText("ab"), (Bytes{'a', 'b', 0}));
}

}  // namespace
}  // namespace server
}  // namespace vrelay
