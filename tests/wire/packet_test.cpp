// SPDX-License-Identifier: MIT
#include "wire/packet.h"

#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"
#include "tests/support/split_source.h"
#include "transport/buffered_source.h"

namespace vrelay {
namespace {

using test::Bytes;
using test::EncodeFrame;
using test::EncodePhonemePayload;
using test::SplitSource;

// Reads one whole frame with repeated GetData calls, collecting what each one
// reports received; false when a call fails first.
bool ReadFrame(Packet& packet, ByteSource& source, std::vector<int>* received = nullptr) {
    for (int calls = 0; !packet.FilledPacket() && calls < 1000000; ++calls) {
        int n = 0;
        if (!packet.GetData(&source, &n))
            return false;
        if (received != nullptr)
            received->push_back(n);
    }
    return packet.FilledPacket();
}

// Collects what is sent; fails every send once `fail` is set.
struct FakeSink : ByteSink {
    int64_t SendBytes(const char* data, size_t length, bool) override {
        if (fail)
            return -1;
        bytes.insert(bytes.end(), data, data + length);
        return static_cast<int64_t>(length);
    }
    bool fail = false;
    Bytes bytes;
};

bool SendFrame(ByteSink& sink, uint16_t type, Bytes payload, int32_t streamId = 0) {
    Packet packet(streamId, type, payload.data(), static_cast<uint32_t>(payload.size()), false);
    return packet.SendData(&sink);
}

Bytes Pattern(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return out;
}

template <typename T>
Bytes PayloadOf(T& holder) {
    const unsigned char* data = holder.Data();  // a phoneme record serialises anew on each call
    return Bytes(data, data + holder.Length());
}

struct FrameCase {
    const char* name;
    uint16_t type;
    int32_t stream_id;
    Bytes payload;
};

const std::vector<FrameCase>& FrameCases() {
    static const std::vector<FrameCase> cases = {
        {"empty", PACKET_END, 0, {}},
        {"text", PACKET_TEXT, 0x01020304, test::TextPayload("hello <mark name=\"1\"/>world")},
        {"negative stream id", PACKET_DATA_6, -2, Pattern(33)},
        {"phoneme", PACKET_PHONEME, 77, EncodePhonemePayload(1, "ab", "c", {1, 2, 3, 4, 5, 6, 7})},
        {"largest", PACKET_DATA_10, 5, Pattern(kMaxPayload)},
    };
    return cases;
}

TEST(PacketReadTest, FramesDecodeInEverySplitAndLeaveTheNextFrameUnread) {
    const Bytes next = EncodeFrame(PACKET_END, {1});
    for (const FrameCase& c : FrameCases()) {
        for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1} << 20}) {
            for (bool wakeUps : {false, true}) {
                for (bool buffered : {false, true}) {
                    SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk) +
                                 (wakeUps ? ", wake-ups" : "") + (buffered ? ", buffered" : ""));
                    Bytes bytes = EncodeFrame(c.type, c.payload, c.stream_id);
                    bytes.insert(bytes.end(), next.begin(), next.end());
                    // Every second read a wake-up: it ends with nothing.
                    SplitSource source(
                        bytes.data(), bytes.size(),
                        wakeUps ? std::vector<size_t>{chunk, 0} : std::vector<size_t>{chunk});
                    BufferedSource buffer;
                    buffer.SetSource(&source);
                    ByteSource& reader = buffered ? static_cast<ByteSource&>(buffer) : source;
                    Packet packet;
                    std::vector<int> received;
                    ASSERT_TRUE(ReadFrame(packet, reader, &received));
                    EXPECT_TRUE(packet.OK());
                    EXPECT_EQ(packet.PacketType(), c.type);
                    EXPECT_EQ(packet.StreamId(), c.stream_id);
                    EXPECT_EQ(PayloadOf(packet), c.payload);
                    // Only a wake-up makes a call report nothing received (a
                    // buffer that took the frame in one read meets none).
                    EXPECT_EQ(std::count(received.begin(), received.end(), 0) > 0,
                              wakeUps && (!buffered || chunk < bytes.size()));
                    // A complete packet reads nothing more; the next frame
                    // stays in the stream or in the reader's buffer.
                    int again = -1;
                    EXPECT_TRUE(packet.GetData(&reader, &again));
                    EXPECT_EQ(again, 0);
                    EXPECT_EQ(bytes.size() - source.Consumed() + buffer.Buffered(), next.size());
                }
            }
        }
    }
}

// How many sends a frame takes is the transport's choice; the bytes are not.
TEST(PacketSendTest, FramesGoOutExactlyAndFailuresAreReported) {
    for (const FrameCase& c : FrameCases()) {
        SCOPED_TRACE(c.name);
        FakeSink sink;
        ASSERT_TRUE(SendFrame(sink, c.type, c.payload, c.stream_id));
        EXPECT_EQ(sink.bytes, EncodeFrame(c.type, c.payload, c.stream_id));
    }
    test::CapturedLog capture;
    FakeSink sink;
    EXPECT_FALSE(SendFrame(sink, PACKET_TEXT, Bytes(kMaxPayload + 1, 'a')));
    EXPECT_TRUE(sink.bytes.empty());
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{
                  "ERROR: vrelay send error, packet too big for packet type 1 length is 64001"});
    sink.fail = true;
    EXPECT_FALSE(SendFrame(sink, PACKET_QUERY, test::TextPayload("x")));
}

TEST(PhonemeTest, NameFieldSizeRule) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"", 1},     {"a", 2},    {"a1", 3},   {"ab", 3},   {"abc", 4},  {"a1c", 2},   {"a c", 2},
        {"abcd", 5}, {"ab1c", 3}, {"ab c", 3}, {"abc1", 5}, {"aa1 ", 3}, {"xyz0q", 4}, {"1bc", 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PhonemePacketData::FieldSize(reinterpret_cast<const unsigned char*>(c.first)),
                  c.second)
            << '"' << c.first << '"';
    }
}

const unsigned char* U(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

TEST(PhonemeTest, SerialisesTheRecordLayoutWithSuffixesCut) {
    PhonemePacketData plain(-7, U("ab"), U("c"), 1, 2, 3, 4, 5, -6, 0x7FFFFFFF);
    EXPECT_EQ(PayloadOf(plain),
              EncodePhonemePayload(-7, "ab", "c", {1, 2, 3, 4, 5, -6, 0x7FFFFFFF}));
    // The trusting reader takes the names and value 1 back, the rest as 0.
    Bytes bytes = PayloadOf(plain);
    PhonemePacketData read;
    read.Deserialize(bytes.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(read.m_phone)) + "/" +
                  reinterpret_cast<const char*>(read.m_nextPhone),
              "ab/c");
    EXPECT_EQ(std::vector<int32_t>(read.m_values, read.m_values + 7),
              (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read.m_first, -7);

    // Names with a digit or blank at their third byte lose their last two.
    PhonemePacketData suffixed(0, U("ab1c"), U("x"), 0, 0, 0, 0, 0, 0, 0);
    suffixed.SetNextPhoneme(U("de 2"));
    EXPECT_EQ(PayloadOf(suffixed), EncodePhonemePayload(0, "ab", "de", {0, 0, 0, 0, 0, 0, 0}));
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
        PhonemePacketData data;
        ASSERT_TRUE(data.Deserialize(block.get(), static_cast<uint32_t>(bytes.size())));
        for (int k = 0; k < 7; ++k) {
            EXPECT_EQ(data.m_values[k], k < c.first ? 11 + k : 0) << "value " << k + 1;
        }
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
        PhonemePacketData data;
        const bool good = std::string(c.first) == "well formed";
        EXPECT_EQ(data.Deserialize(block.get(), static_cast<uint32_t>(c.second.size())), good);
        if (good) {
            EXPECT_EQ(data.m_values[0], 9);
        }
    }
}

}  // namespace
}  // namespace vrelay
