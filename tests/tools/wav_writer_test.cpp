#include "tools/wav_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include <vrelay/vrelay.h>

namespace vrelay {
namespace tools {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

TEST(WavWriterTest, HeadersDescribeEachEncoding) {
    const std::vector<int16_t> samples = {0, 1000, -1000, 32767, -32768};
    struct Row {
        WavEncoding encoding;
        uint16_t format;
        uint16_t bits;
        size_t dataOffset;  // where the samples start
    };
    const Row rows[] = {
        {WavEncoding::kPcm16, 1, 16, 44},
        {WavEncoding::kUlaw, 7, 8, 58},
        {WavEncoding::kAlaw, 6, 8, 58},
    };
    for (const Row& row : rows) {
        const auto bytes = WavWriter::Encode(samples, 8000, row.encoding);
        const uint32_t bytesPerSample = row.bits / 8;
        const uint32_t dataSize = static_cast<uint32_t>(samples.size()) * bytesPerSample;
        EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
        EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(Le16(bytes, 20), row.format);
        EXPECT_EQ(Le16(bytes, 22), 1);
        EXPECT_EQ(Le32(bytes, 24), 8000u);
        EXPECT_EQ(Le32(bytes, 28), 8000u * bytesPerSample);
        EXPECT_EQ(Le16(bytes, 34), row.bits);
        EXPECT_EQ(std::memcmp(bytes.data() + row.dataOffset - 8, "data", 4), 0);
        EXPECT_EQ(Le32(bytes, row.dataOffset - 4), dataSize);
        EXPECT_EQ(bytes.size(), row.dataOffset + dataSize + (dataSize & 1));
        if (row.encoding == WavEncoding::kPcm16) {
            EXPECT_EQ(static_cast<int16_t>(Le16(bytes, 44 + 2 * 4)), -32768);
        } else {
            EXPECT_EQ(Le32(bytes, 46), samples.size());  // fact chunk: sample count
            const uint8_t expected =
                row.encoding == WavEncoding::kUlaw ? vrSampleToUlaw(1000) : vrSampleToAlaw(1000);
            EXPECT_EQ(bytes[row.dataOffset + 1], expected);
        }
    }
}

}  // namespace
}  // namespace tools
}  // namespace vrelay
