// SPDX-License-Identifier: MIT
#include "wire/payload.h"

#include <gtest/gtest.h>
#include <vrelay/vrelay_helpers.h>

#include "textproc/tokeniser/tokenise_marks.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace wire {
namespace {

using Bytes = std::vector<unsigned char>;

// Each payload's bytes, read back by the decoders applications use, and their
// refusal of short ones.
TEST(Payload, PacketsHaveTheirByteLayouts) {
    AudioFormat format;
    format.sample_rate = 22050;
    EXPECT_EQ(EncodeFormat(format),
              (Bytes{0, 0, 0x56, 0x22, 0, 16, 0, 1}));  // rate, bits, channels
    ASSERT_TRUE(DecodeFormat(Bytes{0, 1, 0, 2, 0, 8, 0, 2}.data(), 8, &format));
    EXPECT_EQ(format.sample_rate, 65538u);
    EXPECT_EQ(format.bits, 8);
    EXPECT_EQ(format.channels, 2);
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

// The tokeniser writes the marks, the public helpers read them: both by the
// wire module's names.
TEST(Payload, MarkNamesAreTheSameForTokeniserHelpersAndWire) {
    const std::string tag = "<mark name=\"";
    EXPECT_EQ(kvtp_tokenise::kMarkStart, tag + kWordMarkPrefix);
    EXPECT_EQ(kvtp_tokenise::kFinalMark, tag + kFinalMark + "\"/>");
    EXPECT_TRUE(vr_is_final_mark(kFinalMark));
    vr_word_mark word;
    EXPECT_TRUE(vr_parse_word_mark((std::string(kWordMarkPrefix) + "1_2_3_4").c_str(), &word));
    EXPECT_EQ(word.byte_length, 4);
}

TEST(XmlEscape, EachContextEscapesItsCharacters) {
    const std::string all = "a&b<c>d\"e'f";
    EXPECT_EQ(EscapeXml(all, XmlContext::kText), "a&amp;b&lt;c&gt;d\"e'f");
    EXPECT_EQ(EscapeXml(all, XmlContext::kAttribute), "a&amp;b&lt;c>d&quot;e&apos;f");
    EXPECT_EQ(EscapeXml(all, XmlContext::kAnywhere), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    std::string out = "x";
    AppendEscapedXml("<\0<", 3, XmlContext::kText, &out);  // a NUL goes as it is
    EXPECT_EQ(out, std::string("x&lt;\0&lt;", 10));
}

}  // namespace
}  // namespace wire
}  // namespace vrelay
