// SPDX-License-Identifier: MIT
// Frames read out of bytes however they are cut and written byte for byte,
// and phoneme records encoded and decoded, hostile ones refused.
#include "wire/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/fake_server.h"
#include "wire/payload.h"

namespace vrelay {
namespace wire {
namespace {

using test::Bytes;
using test::EncodeFrame;
using test::EncodePhonemePayload;

using Frames = std::vector<std::tuple<uint16_t, int32_t, Bytes>>;  // type, stream id, payload

// Takes every whole frame the reader holds.
FrameReader::Status Drain(FrameReader& reader, Frames* frames) {
    for (;;) {
        Frame frame;
        const FrameReader::Status status = reader.Next(&frame);
        if (status != FrameReader::Status::kFrame)
            return status;
        EXPECT_NE(frame.data, nullptr);
        frames->emplace_back(frame.type, frame.streamId,
                             Bytes(frame.data, frame.data + frame.length));
    }
}

Bytes Pattern(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 7 + 1);
    return out;
}

// How a stream reaches the reader: copied in, read into its space as a
// socket would be, or read into its space no further than the frame being
// filled (as a reader sharing its stream does).
enum class Way { kFed, kIntoSpace, kOnlyMissing };

// Whatever the pieces and the way, the same frames come out, each as soon as
// its last byte is in. The cuts cover a frame held partly behind frames
// already taken out while the buffer must grow to take its rest.
TEST(FrameReaderTest, FramesComeOutWholeWhateverThePieces) {
    const Frames sent = {{kAudio, 0, Bytes{'a', 'b', 'c'}},
                         {kEnd, -2, {}}, {kMark, 0x01020304, Pattern(kMaxPayload)},
                         {kQuery, 7, Bytes{'q', 0}},
                         {kAudio, 0, Pattern(40000)}};
    Bytes stream;
    for (const auto& [type, streamId, payload] : sent) {
        const Bytes bytes = EncodeFrame(type, payload, streamId);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    for (std::vector<size_t> cuts :
         {std::vector<size_t>{1}, {13}, {14}, {4096}, {70000}, {200000}, {30, 70000, 7}}) {
        for (Way way : {Way::kFed, Way::kIntoSpace, Way::kOnlyMissing}) {
            SCOPED_TRACE("first cut " + std::to_string(cuts[0]) + ", way " +
                         std::to_string(static_cast<int>(way)));
            FrameReader reader;
            Frames got;
            size_t turn = 0;
            for (size_t at = 0; at < stream.size();) {
                const size_t piece = std::min(cuts[turn++ % cuts.size()], stream.size() - at);
                if (way == Way::kFed) {
                    ASSERT_TRUE(reader.Feed(stream.data() + at, piece));
                    at += piece;
                } else {
                    size_t room = 0;
                    char* space = reader.Space(&room);
                    ASSERT_NE(space, nullptr);
                    ASSERT_GE(room, reader.Missing());
                    size_t n = std::min(room, piece);
                    if (way == Way::kOnlyMissing)
                        n = std::min(n, reader.Missing());
                    std::memcpy(space, stream.data() + at, n);
                    reader.Filled(n);
                    at += n;
                }
                const size_t before = got.size();
                ASSERT_EQ(Drain(reader, &got), FrameReader::Status::kNeedMore);
                // Never a byte of the next frame: one frame at most per read.
                if (way == Way::kOnlyMissing) {
                    EXPECT_LE(got.size(), before + 1);
                }
            }
            EXPECT_EQ(got, sent);
            EXPECT_EQ(reader.Buffered(), 0u);
            EXPECT_EQ(reader.Missing(), kHeaderSize);
        }
    }
}

// A length over the reader's bound, or a trailer that differs from the
// header: nothing after it can be read (its bytes mean nothing) until the
// reader starts a new stream. The bound is the owner's.
TEST(FrameReaderTest, FramingErrorsStopTheReaderUntilReset) {
    // failedLength: what the owner's message names
    struct Row { const char* name; uint32_t bound; Bytes bytes; FrameReader::Status status;
        Frames before; uint32_t failedLength; };
    const Bytes good = EncodeFrame(kEnd, {});
    Bytes afterGood = good;
    const Bytes wrong = EncodeFrame(kAudio, {1, 2, 3}, 0, 4u);
    afterGood.insert(afterGood.end(), wrong.begin(), wrong.end());
    // clang-format off
    const Row rows[] = {
        {"too long", kMaxPayload, {0, 6, 0, 0, 0, 0, 0, 0, 0xFA, 0x01},
         FrameReader::Status::kTooLong, {}, 64001},
        {"over a small bound", 2, EncodeFrame(kAudio, {1, 2, 3}), FrameReader::Status::kTooLong,
         {}, 3},
        {"within a large bound", 1 << 20, EncodeFrame(kAudio, Pattern(100000)),
         FrameReader::Status::kNeedMore, {{kAudio, 0, Pattern(100000)}, {kEnd, 0, {}}}, 0},
        {"wrong trailer after a good frame", kMaxPayload, afterGood,
         FrameReader::Status::kMismatch, {{kEnd, 0, {}}}, 3},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameReader reader(row.bound);
        ASSERT_TRUE(reader.Feed(row.bytes.data(), row.bytes.size()));
        ASSERT_TRUE(reader.Feed(good.data(), good.size()));
        Frames got;
        EXPECT_EQ(Drain(reader, &got), row.status);
        Frame failed;
        EXPECT_EQ(reader.Next(&failed), row.status);
        EXPECT_EQ(got, row.before);
        if (row.status == FrameReader::Status::kNeedMore)
            continue;
        EXPECT_EQ(failed.type, kAudio);
        EXPECT_EQ(failed.length, row.failedLength);
        reader.Reset();
        ASSERT_TRUE(reader.Feed(good.data(), good.size()));
        got.clear();
        EXPECT_EQ(Drain(reader, &got), FrameReader::Status::kNeedMore);
        EXPECT_EQ(got, (Frames{{kEnd, 0, {}}}));
    }
}

// Both writers give exactly the frame's bytes; the gathering one refuses
// more parts than it holds.
TEST(FrameWriterTest, FramesAreWrittenByteForByte) {
    const Bytes hello = {0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 3, 'h', 'i', 0, 0, 0, 0, 3};
    std::string appended;
    AppendFrame(kText, "hi", 3, &appended, -2);
    EXPECT_EQ(Bytes(appended.begin(), appended.end()), hello);
    AppendFrame(kEnd, nullptr, 0, &appended);
    EXPECT_EQ(appended.size(), hello.size() + kFrameOverhead);

    const char* text = "hi";
    FrameParts parts(kText, {{text, 1}, {text + 1, 0}, {text + 1, 2}}, -2);
    ASSERT_TRUE(parts.Valid());
    EXPECT_EQ(parts.Size(), hello.size());
    Bytes gathered;
    for (size_t i = 0; i < parts.Count(); ++i)
        gathered.insert(gathered.end(), parts.Pieces()[i].data,
                        parts.Pieces()[i].data + parts.Pieces()[i].size);
    EXPECT_EQ(gathered, hello);
    FrameParts tooMany(kText, {{text, 1}, {text, 1}, {text, 1}, {text, 1}});
    EXPECT_FALSE(tooMany.Valid());
    EXPECT_EQ(tooMany.Count(), 0u);
}

// ---- phoneme records -------------------------------------------------------------

TEST(PhonemeTest, NameFieldSizeRule) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"", 1},     {"a", 2},    {"a1", 3},    {"ab", 3},   {"abc", 4},
        {"a1c", 2},  {"a c", 2},  {"abcd", 5},  {"ab1c", 3}, {"ab c", 3},
        {"abc1", 5}, {"aa1 ", 3}, {"xyz0q", 4}, {"1bc", 4},  {nullptr, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PhonemeFieldSize(c.first), c.second)
            << '"' << (c.first ? c.first : "null") << '"';
}

TEST(PhonemeTest, EncodesTheRecordLayoutWithSuffixesCutAndReadsItBack) {
    Phoneme plain;
    plain.first = -7;
    plain.phone = "ab";
    plain.next_phone = "c";
    const int32_t values[7] = {1, 2, 3, 4, 5, -6, 0x7FFFFFFF};
    std::copy(values, values + 7, plain.values);
    const Bytes bytes = EncodePhoneme(plain);
    EXPECT_EQ(bytes, EncodePhonemePayload(-7, "ab", "c", {1, 2, 3, 4, 5, -6, 0x7FFFFFFF}));
    Phoneme read;
    ASSERT_TRUE(DecodePhoneme(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(std::string(read.phone) + "/" + read.next_phone, "ab/c");
    EXPECT_EQ(read.first, -7);
    EXPECT_TRUE(std::equal(values, values + 7, read.values));

    // Names with a digit or blank at their third byte lose their last two.
    Phoneme suffixed;
    suffixed.phone = "ab1c";
    suffixed.next_phone = "de 2";
    EXPECT_EQ(EncodePhoneme(suffixed), EncodePhonemePayload(0, "ab", "de", {0, 0, 0, 0, 0, 0, 0}));
}

// A heap block of exactly the bytes' size, so that ASan reports any read
// past the end.
std::unique_ptr<unsigned char[]> Exact(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[std::max<size_t>(bytes.size(), 1)]);
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

TEST(PhonemeTest, ShortPayloadDecodesMissingValuesAsZero) {
    // Values written, and bytes of the next value present.
    for (std::pair<int, size_t> c : {std::pair<int, size_t>{1, 0}, {3, 0}, {3, 2}, {6, 3}}) {
        SCOPED_TRACE(std::to_string(c.first) + " values + " + std::to_string(c.second));
        Bytes bytes = EncodePhonemePayload(1, "p", "q", {11, 12, 13, 14, 15, 16, 17}, c.first);
        bytes.insert(bytes.end(), c.second, 0xFF);
        auto block = Exact(bytes);
        Phoneme phoneme;
        ASSERT_TRUE(DecodePhoneme(block.get(), bytes.size(), &phoneme));
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(phoneme.values[k], k < c.first ? 11 + k : 0) << "value " << k + 1;
    }
}

TEST(PhonemeTest, HostileLengthsAreRefusedWithoutReadingPastPayload) {
    const Bytes names_and_value = {'a', 0, 'b', 0, 0, 0, 0, 9};  // N1 = 2, N2 = 2, value 1
    const std::pair<const char*, Bytes> cases[] = {
        {"shorter than the fixed fields", {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
        {"huge phone length", test::PhonemeWithLengths(0xFFFFFFFFu, 2, names_and_value)},
        {"lengths overflow 32 bits",
         test::PhonemeWithLengths(0x80000000u, 0x80000000u, names_and_value)},
        {"lengths wrap to small", test::PhonemeWithLengths(0xFFFFFFFEu, 4, names_and_value)},
        {"names past the end", test::PhonemeWithLengths(2, 9, names_and_value)},
        {"value 1 cut short", test::PhonemeWithLengths(2, 2, {'a', 0, 'b', 0, 0, 0, 9})},
        {"phone not terminated", test::PhonemeWithLengths(2, 2, {'a', 'x', 'b', 0, 0, 0, 0, 9})},
        {"next phone not terminated",
         test::PhonemeWithLengths(2, 2, {'a', 0, 'b', 'y', 0, 0, 0, 9})},
        {"empty phone field", test::PhonemeWithLengths(0, 4, names_and_value)},
        {"empty next-phone field", test::PhonemeWithLengths(4, 0, names_and_value)},
        {"well formed", test::PhonemeWithLengths(2, 2, names_and_value)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        auto block = Exact(c.second);
        Phoneme phoneme;
        const bool good = std::string(c.first) == "well formed";
        EXPECT_EQ(DecodePhoneme(block.get(), c.second.size(), &phoneme), good);
        if (good) {
            EXPECT_EQ(phoneme.values[0], 9);
        }
    }
    Phoneme phoneme;
    EXPECT_FALSE(DecodePhoneme(nullptr, 0, &phoneme));
}

}  // namespace
}  // namespace wire
}  // namespace vrelay
