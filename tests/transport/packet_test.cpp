#include "transport/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/vrelay.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Bytes;
using test::EncodeFrame;
using test::EncodePhonemePayload;

// Gives the scripted bytes at most `chunk` at a time; a zero in `stalls`
// (indexed by call) makes that call return true with nothing, as a wake-up
// would. Fails like a closed stream once the bytes run out.
class FakeSource : public ByteSource {
  public:
    FakeSource(Bytes bytes, size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}

    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override {
        ++calls_;
        *received = 0;
        if (stall_every_ > 0 && calls_ % stall_every_ == 0) {
            return true;
        }
        if (position_ == bytes_.size()) {
            return false;
        }
        size_t n = std::min({chunk_, max, bytes_.size() - position_});
        std::memcpy(buffer, bytes_.data() + position_, n);
        position_ += n;
        *received = n;
        return true;
    }

    size_t Remaining() const { return bytes_.size() - position_; }
    void StallEvery(int n) { stall_every_ = n; }

  private:
    Bytes bytes_;
    size_t chunk_;
    size_t position_ = 0;
    int calls_ = 0;
    int stall_every_ = 0;
};

// Records each SendBytes call; call number fail_on (1-based) fails.
class FakeSink : public ByteSink {
  public:
    explicit FakeSink(int fail_on = 0) : fail_on_(fail_on) {}

    int64_t SendBytes(const char* data, size_t length, bool more) override {
        ++calls;
        if (calls == fail_on_) {
            return -1;
        }
        bytes.insert(bytes.end(), data, data + length);
        more_flags.push_back(more);
        return static_cast<int64_t>(length);
    }

    int calls = 0;
    Bytes bytes;
    std::vector<bool> more_flags;

  private:
    int fail_on_;
};

Bytes Pattern(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return out;
}

Bytes PayloadOf(Packet& packet) {
    return Bytes(packet.Data(), packet.Data() + packet.Length());
}

// Reads one frame through repeated GetData calls. Returns false on a failed
// call; collects the *received value of every call.
bool ReadFrame(Packet& packet, ByteSource& source, std::vector<int>* received_per_call) {
    for (int guard = 0; !packet.FilledPacket() && guard < 1000000; ++guard) {
        int received = -1;
        if (!packet.GetData(&source, &received)) {
            return false;
        }
        received_per_call->push_back(received);
    }
    return packet.FilledPacket();
}

struct FrameCase {
    const char* name;
    uint16_t type;
    int32_t stream_id;
    Bytes payload;
};

std::vector<FrameCase> FrameCases() {
    return {
        {"empty", PACKET_END, 0, {}},
        {"text", PACKET_TEXT, 0, test::TextPayload("hello <mark name=\"1\"/>world")},
        {"negative stream id", PACKET_DATA_6, -2, Pattern(33)},
        {"phoneme", PACKET_PHONEME, 77, EncodePhonemePayload(1, "ab", "c", {1, 2, 3, 4, 5, 6, 7})},
        {"largest", PACKET_DATA_10, 5, Pattern(kMaxPayload)},
    };
}

TEST(PacketReadTest, FramesDecodeInEverySplit) {
    for (const FrameCase& c : FrameCases()) {
        for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1} << 20}) {
            SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
            FakeSource source(EncodeFrame(c.type, c.payload, c.stream_id), chunk);
            Packet packet;
            std::vector<int> received;
            ASSERT_TRUE(ReadFrame(packet, source, &received));
            EXPECT_TRUE(packet.OK());
            EXPECT_EQ(packet.PacketType(), c.type);
            EXPECT_EQ(packet.StreamId(), c.stream_id);
            EXPECT_EQ(PayloadOf(packet), c.payload);
            EXPECT_EQ(source.Remaining(), 0u);
            if (chunk == 1) {
                for (int r : received) {
                    ASSERT_EQ(r, 1);
                }
            }
        }
    }
}

TEST(PacketReadTest, EmptyReadsLeaveFrameInProgress) {
    const Bytes payload = Pattern(20);
    FakeSource source(EncodeFrame(PACKET_DATA_8, payload), 3);
    source.StallEvery(2);
    Packet packet;
    std::vector<int> received;
    ASSERT_TRUE(ReadFrame(packet, source, &received));
    EXPECT_TRUE(packet.OK());
    EXPECT_EQ(PayloadOf(packet), payload);
    EXPECT_NE(std::find(received.begin(), received.end(), 0), received.end());
}

TEST(PacketReadTest, CompletePacketReadsNothingMore) {
    Bytes bytes = EncodeFrame(PACKET_END, {});
    FakeSource source(bytes, 100);
    Packet packet;
    std::vector<int> received;
    ASSERT_TRUE(ReadFrame(packet, source, &received));
    int again = -1;
    EXPECT_TRUE(packet.GetData(&source, &again));
    EXPECT_EQ(again, 0);
}

TEST(PacketReadTest, BackToBackFramesReadAsTwo) {
    Bytes first = EncodeFrame(PACKET_QUERY, test::TextPayload("<voice/>"));
    Bytes second = EncodeFrame(PACKET_END, Pattern(5), 9);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    FakeSource source(both, both.size());

    Packet one;
    std::vector<int> received;
    ASSERT_TRUE(ReadFrame(one, source, &received));
    EXPECT_EQ(one.PacketType(), PACKET_QUERY);
    EXPECT_EQ(source.Remaining(), second.size());

    Packet two;
    ASSERT_TRUE(ReadFrame(two, source, &received));
    EXPECT_EQ(two.PacketType(), PACKET_END);
    EXPECT_EQ(two.StreamId(), 9);
    EXPECT_EQ(PayloadOf(two), Pattern(5));
}

TEST(PacketReadTest, MismatchedTrailerIsCompleteButNotOk) {
    FakeSource source(EncodeFrame(PACKET_DATA_9, Pattern(4), 0, 5u), 1);
    Packet packet;
    std::vector<int> received;
    ASSERT_TRUE(ReadFrame(packet, source, &received));
    EXPECT_TRUE(packet.FilledPacket());
    EXPECT_FALSE(packet.OK());
}

TEST(PacketReadTest, OversizeLengthRefusedAfterHeader) {
    test::CapturedLog capture;
    Bytes frame = EncodeFrame(PACKET_DATA_6, Bytes(kMaxPayload + 1, 0));
    FakeSource source(frame, frame.size());
    Packet packet;
    int received = 0;
    EXPECT_FALSE(packet.GetData(&source, &received));
    EXPECT_EQ(source.Remaining(), frame.size() - 10);
    const std::string text = capture.Text();
    EXPECT_NE(
        text.find(
            " ERROR: vrelay receive error, packet too big for packet type 6 length is 64001\n"),
        std::string::npos)
        << text;
}

TEST(PacketReadTest, ClosedStreamMidFrameFailsSilently) {
    test::CapturedLog capture;
    Bytes frame = EncodeFrame(PACKET_TEXT, Pattern(10));
    frame.resize(15);  // cut inside the payload
    FakeSource source(frame, 4);
    Packet packet;
    std::vector<int> received;
    EXPECT_FALSE(ReadFrame(packet, source, &received));
    EXPECT_FALSE(packet.FilledPacket());
    EXPECT_EQ(capture.Text(), "");
}

TEST(PacketSendTest, EmptyPayloadIsFourteenBytes) {
    FakeSink sink;
    Packet packet(0, PACKET_CLOSE, nullptr, 0, false);
    ASSERT_TRUE(packet.SendData(&sink));
    EXPECT_EQ(sink.bytes, (Bytes{0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PacketSendTest, FieldsGoOutInOrderAndOnlyTheLastEndsTheFrame) {
    Bytes payload = test::TextPayload("hi");
    FakeSink sink;
    Packet packet(0x01020304, PACKET_TEXT, payload.data(), static_cast<uint32_t>(payload.size()),
                  false);
    ASSERT_TRUE(packet.SendData(&sink));
    EXPECT_EQ(sink.bytes, EncodeFrame(PACKET_TEXT, payload, 0x01020304));
    EXPECT_EQ(sink.calls, 5);
    EXPECT_EQ(sink.more_flags, (std::vector<bool>{true, true, true, true, false}));
}

TEST(PacketSendTest, LargestPayloadRoundTrips) {
    Bytes payload = Pattern(kMaxPayload);
    FakeSink sink;
    Packet out(0, PACKET_DATA_8, payload.data(), kMaxPayload, false);
    ASSERT_TRUE(out.SendData(&sink));
    FakeSource source(sink.bytes, 1500);
    Packet in;
    std::vector<int> received;
    ASSERT_TRUE(ReadFrame(in, source, &received));
    EXPECT_TRUE(in.OK());
    EXPECT_EQ(PayloadOf(in), payload);
}

TEST(PacketSendTest, OversizePayloadRefusedBeforeSending) {
    test::CapturedLog capture;
    Bytes payload(kMaxPayload + 1, 'a');
    FakeSink sink;
    Packet packet(0, PACKET_TEXT, payload.data(), kMaxPayload + 1, false);
    EXPECT_FALSE(packet.SendData(&sink));
    EXPECT_EQ(sink.calls, 0);
    const std::string text = capture.Text();
    EXPECT_NE(
        text.find(" ERROR: vrelay send error, packet too big for packet type 1 length is 64001\n"),
        std::string::npos)
        << text;
}

TEST(PacketSendTest, FailedFieldIsNamedAndEndsTheSend) {
    const char* const fields[] = {"net_packet_type", "net_stream_id", "net_packet_length (1)",
                                  "m_data", "net_packet_length (2)"};
    Bytes payload = test::TextPayload("x");
    for (int n = 1; n <= 5; ++n) {
        SCOPED_TRACE(fields[n - 1]);
        test::CapturedLog capture;
        FakeSink sink(n);
        Packet packet(0, PACKET_QUERY, payload.data(), 2, false);
        EXPECT_FALSE(packet.SendData(&sink));
        EXPECT_EQ(sink.calls, n);
        const std::string expected =
            std::string(" ERROR: error sending ") + fields[n - 1] + " for packet of type 13\n";
        const std::string text = capture.Text();
        EXPECT_NE(text.find(expected), std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    }
}

TEST(PacketSendTest, OwnedDataIsReleased) {
    // ASan reports a leak if the packet does not free what it owns.
    auto* data = new unsigned char[3]{1, 2, 3};
    Packet packet(0, PACKET_DATA_9, data, 3, true);
    EXPECT_EQ(packet.Data(), data);
}

TEST(PhonemeTest, NameRule) {
    struct Case {
        const char* name;
        uint32_t field;
    };
    const Case cases[] = {
        {"", 1},     {"a", 2},    {"a1", 3},   {"ab", 3},   {"abc", 4},  {"a1c", 2},   {"a c", 2},
        {"abcd", 5}, {"ab1c", 3}, {"ab c", 3}, {"abc1", 5}, {"aa1 ", 3}, {"xyz0q", 4}, {"1bc", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PhonemePacketData::FieldSize(reinterpret_cast<const unsigned char*>(c.name)),
                  c.field)
            << '"' << c.name << '"';
    }
}

const unsigned char* U(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

TEST(PhonemeTest, SerialisesTheRecordLayout) {
    PhonemePacketData data(-7, U("ab"), U("c"), 1, 2, 3, 4, 5, -6, 0x7FFFFFFF);
    EXPECT_EQ(data.Length(), 3u + 2u + 46u);
    unsigned char* bytes = data.Data();
    EXPECT_EQ(Bytes(bytes, bytes + data.Length()),
              EncodePhonemePayload(-7, "ab", "c", {1, 2, 3, 4, 5, -6, 0x7FFFFFFF}));
}

TEST(PhonemeTest, SuffixedNamesLoseTheirLastTwoBytes) {
    PhonemePacketData data(0, U("ab1c"), U("x"), 0, 0, 0, 0, 0, 0, 0);
    data.SetNextPhoneme(U("de 2"));
    EXPECT_EQ(data.Length(), 3u + 3u + 46u);
    unsigned char* bytes = data.Data();
    EXPECT_EQ(Bytes(bytes, bytes + data.Length()),
              EncodePhonemePayload(0, "ab", "de", {0, 0, 0, 0, 0, 0, 0}));
}

TEST(PhonemeTest, PacketCarriesSerialisedPayload) {
    FakeSink sink;
    Packet packet(0, PACKET_PHONEME,
                  new PhonemePacketData(3, U("abc"), U("de"), 10, 20, 30, 40, 50, 60, 70));
    EXPECT_EQ(packet.Length(), 53u);
    ASSERT_TRUE(packet.SendData(&sink));
    EXPECT_EQ(sink.bytes,
              EncodeFrame(PACKET_PHONEME,
                          EncodePhonemePayload(3, "abc", "de", {10, 20, 30, 40, 50, 60, 70})));
}

// Copies bytes into a heap block of exactly their size, so that ASan reports
// any read past the end.
std::unique_ptr<unsigned char[]> Exact(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> block(
        new unsigned char[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty()) {
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    return block;
}

TEST(PhonemeTest, DecodesFieldsAndPointsIntoPayload) {
    Bytes bytes = EncodePhonemePayload(3, "abc", "de", {10, 20, 30, 40, 50, 60, -70});
    ASSERT_EQ(bytes.size(), 53u);  // N1 = 4, N2 = 3
    auto block = Exact(bytes);
    PhonemePacketData data;
    ASSERT_TRUE(data.Deserialize(block.get(), 53));
    EXPECT_EQ(data.m_first, 3);
    EXPECT_EQ(data.m_phoneLength, 4u);
    EXPECT_EQ(data.m_nextPhoneLength, 3u);
    EXPECT_EQ(data.m_phone, block.get() + 12);
    EXPECT_STREQ(reinterpret_cast<const char*>(data.m_nextPhone), "de");
    const int32_t expected[7] = {10, 20, 30, 40, 50, 60, -70};
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(data.m_values[k], expected[k]) << "value " << k + 1;
    }
    EXPECT_EQ(data.Length(), 53u);
}

TEST(PhonemeTest, SerialiseThenDeserialiseRoundTrips) {
    PhonemePacketData out(42, U("sil"), U("hh"), -1, 2, -3, 4, -5, 6, -7);
    unsigned char* bytes = out.Data();
    auto block = Exact(Bytes(bytes, bytes + out.Length()));
    PhonemePacketData in;
    ASSERT_TRUE(in.Deserialize(block.get(), out.Length()));
    EXPECT_EQ(in.m_first, 42);
    EXPECT_STREQ(reinterpret_cast<const char*>(in.m_phone), "sil");
    EXPECT_STREQ(reinterpret_cast<const char*>(in.m_nextPhone), "hh");
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(in.m_values[k], out.m_values[k]);
    }
}

TEST(PhonemeTest, ShortPayloadDecodesMissingValuesAsZero) {
    struct Case {
        int values;
        int extra_bytes;  // bytes of the next value that are present
    };
    for (Case c : {Case{1, 0}, Case{3, 0}, Case{3, 2}, Case{6, 3}}) {
        SCOPED_TRACE("values " + std::to_string(c.values) + " + " + std::to_string(c.extra_bytes));
        Bytes bytes = EncodePhonemePayload(1, "p", "q", {11, 12, 13, 14, 15, 16, 17}, c.values);
        bytes.insert(bytes.end(), static_cast<size_t>(c.extra_bytes), 0xFF);
        auto block = Exact(bytes);
        PhonemePacketData data;
        ASSERT_TRUE(data.Deserialize(block.get(), static_cast<uint32_t>(bytes.size())));
        for (int k = 0; k < 7; ++k) {
            EXPECT_EQ(data.m_values[k], k < c.values ? 11 + k : 0) << "value " << k + 1;
        }
    }
}

Bytes WithLengths(uint32_t n1, uint32_t n2, Bytes rest) {
    Bytes out = {0, 0, 0, 1};
    for (uint32_t v : {n1, n2}) {
        out.push_back(static_cast<uint8_t>(v >> 24));
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

TEST(PhonemeTest, HostileLengthsAreRefusedWithoutReadingPastPayload) {
    const Bytes names_and_value = {'a', 0, 'b', 0, 0, 0, 0, 9};  // N1 = 2, N2 = 2, value 1
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"shorter than the fixed fields", {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
        {"huge phone length", WithLengths(0xFFFFFFFFu, 2, names_and_value)},
        {"huge next-phone length", WithLengths(2, 0xFFFFFFF0u, names_and_value)},
        {"lengths overflow 32 bits", WithLengths(0x80000000u, 0x80000000u, names_and_value)},
        {"lengths wrap to small", WithLengths(0xFFFFFFFEu, 4, names_and_value)},
        {"value 1 past the end", WithLengths(2, 3, names_and_value)},
        {"names past the end", WithLengths(2, 9, names_and_value)},
        {"value 1 cut short", WithLengths(2, 2, {'a', 0, 'b', 0, 0, 0, 9})},
        {"phone not terminated", WithLengths(2, 2, {'a', 'x', 'b', 0, 0, 0, 0, 9})},
        {"next phone not terminated", WithLengths(2, 2, {'a', 0, 'b', 'y', 0, 0, 0, 9})},
        {"empty phone field", WithLengths(0, 4, {'a', 0, 'b', 0, 0, 0, 0, 9})},
        {"empty next-phone field", WithLengths(4, 0, {'a', 0, 'b', 0, 0, 0, 0, 9})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto block = Exact(c.bytes);
        PhonemePacketData data;
        EXPECT_FALSE(data.Deserialize(block.get(), static_cast<uint32_t>(c.bytes.size())));
    }
    // The same well-formed record is accepted.
    Bytes good = WithLengths(2, 2, names_and_value);
    auto block = Exact(good);
    PhonemePacketData data;
    ASSERT_TRUE(data.Deserialize(block.get(), static_cast<uint32_t>(good.size())));
    EXPECT_EQ(data.m_values[0], 9);
}

}  // namespace
}  // namespace vrelay
