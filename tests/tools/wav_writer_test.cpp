// SPDX-License-Identifier: MIT
#include "tools/wav_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/resampler.h"

namespace vrelay {
namespace tools {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// Written in pieces, completed at the end: the header states the lengths, an
// odd-sized data chunk gets its pad byte.
TEST(WavWriterTest, StreamedFileDescribesEachEncoding) {
    const std::vector<int16_t> samples = {0, 1000, -1000, 32767, -32768};
    // dataOffset: where the samples start
    // data: the samples as encoded: each byte of each matters
    const struct { WavEncoding encoding; uint16_t format, bits; size_t dataOffset;
        std::vector<uint8_t> data; } rows[] = {
        {WavEncoding::kPcm16, 1, 16, 44, {0, 0, 0xE8, 0x03, 0x18, 0xFC, 0xFF, 0x7F, 0x00, 0x80}},
        // G.711 mu-law and A-law.
        {WavEncoding::kUlaw, 7, 8, 58, {0xFF, 0xCE, 0x4E, 0x80, 0x00}},
        {WavEncoding::kAlaw, 6, 8, 58, {0xD5, 0xFA, 0x7A, 0xAA, 0x2A}},
    };
    const std::string path = ::testing::TempDir() + "wav-" + std::to_string(getpid());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.format);
        WavWriter wav(row.encoding);
        std::string error;
        ASSERT_TRUE(wav.Open(path, &error)) << error;
        wav.SetSampleRate(8000);
        ASSERT_TRUE(wav.Write(samples.data(), 2, &error));
        ASSERT_TRUE(wav.Write(samples.data() + 2, 3, &error));
        ASSERT_TRUE(wav.Finish(&error)) << error;
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        const uint32_t dataSize = static_cast<uint32_t>(row.data.size());
        ASSERT_EQ(bytes.size(), row.dataOffset + dataSize + (dataSize & 1));
        EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
        EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(Le16(bytes, 20), row.format);
        EXPECT_EQ(Le16(bytes, 22), 1);
        EXPECT_EQ(Le32(bytes, 24), 8000u);
        EXPECT_EQ(Le32(bytes, 28), 8000u * row.bits / 8);
        EXPECT_EQ(Le16(bytes, 34), row.bits);
        EXPECT_EQ(std::memcmp(bytes.data() + row.dataOffset - 8, "data", 4), 0);
        EXPECT_EQ(Le32(bytes, row.dataOffset - 4), dataSize);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + row.dataOffset,
                                       bytes.begin() + row.dataOffset + dataSize),
                  row.data);
        if (row.encoding != WavEncoding::kPcm16) {
            EXPECT_EQ(Le32(bytes, 46), samples.size());  // fact chunk: sample count
        }
    }
    std::remove(path.c_str());
}

// A tone keeps its pitch and the audio its length through a rate change.
TEST(ResamplerTest, KeepsDurationAndPitch) {
    struct Row { uint32_t from, to; };
    for (const Row& row : {Row{22050, 8000}, Row{16000, 22050}}) {
        SCOPED_TRACE(row.from);
        Resampler resampler;
        std::string error;
        ASSERT_TRUE(resampler.Start(row.from, row.to, &error)) << error;
        std::vector<int16_t> in(row.from);  // one second of 440 Hz
        for (size_t i = 0; i < in.size(); ++i) {
            in[i] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 440 * i / row.from));
        }
        std::vector<int16_t> out;
        for (size_t at = 0; at < in.size(); at += 1000) {
            resampler.Process(in.data() + at, std::min<size_t>(1000, in.size() - at), &out);
        }
        resampler.Flush(&out);
        EXPECT_NEAR(static_cast<double>(out.size()), row.to, row.to * 0.01);
        int crossings = 0;
        for (size_t i = 1; i < out.size(); ++i) {
            crossings += (out[i - 1] < 0) != (out[i] < 0);
        }
        EXPECT_NEAR(crossings, 880, 10);
    }
}

}  // namespace
}  // namespace tools
}  // namespace vrelay
