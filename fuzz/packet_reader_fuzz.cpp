// SPDX-License-Identifier: MIT
// Fuzzes the client's frame reader: a byte stream delivered in arbitrary
// pieces must give exactly the frames a one-piece decode of the same bytes
// gives, and the reader must never read past the frame it is filling.
//
// Input: byte 0 is the number of split sizes that follow (at most 16); each
// split size is the length of one read (0: a read that ends without data);
// the sizes are used in turn, over and over. The rest is the stream.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tests/support/split_source.h"
#include "wire/packet.h"

namespace {

struct Frame {
    uint16_t type;
    int32_t streamId;
    std::vector<unsigned char> payload;
    uint32_t trailer;
};

uint32_t ReadU32(const unsigned char* at) {
    return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}

// The frames of the stream decoded in one piece; *failed when a header
// announces more than the largest payload.
std::vector<Frame> DecodeWhole(const unsigned char* data, size_t size, bool* failed) {
    std::vector<Frame> frames;
    *failed = false;
    size_t at = 0;
    while (size - at >= 10) {
        const uint32_t length = ReadU32(data + at + 6);
        if (length > vrelay::kMaxPayload) {
            *failed = true;
            break;
        }
        if (size - at < 10 + size_t{length} + 4)
            break;
        Frame frame;
        frame.type = static_cast<uint16_t>((data[at] << 8) | data[at + 1]);
        frame.streamId = static_cast<int32_t>(ReadU32(data + at + 2));
        frame.payload.assign(data + at + 10, data + at + 10 + length);
        frame.trailer = ReadU32(data + at + 10 + length);
        frames.push_back(std::move(frame));
        at += 10 + size_t{length} + 4;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t splitCount = std::min<size_t>(data[0] % 17, size - 1);
    std::vector<size_t> splits(data + 1, data + 1 + splitCount);
    const unsigned char* stream = data + 1 + splitCount;
    const size_t streamSize = size - 1 - splitCount;

    bool tooLong = false;
    const std::vector<Frame> expected = DecodeWhole(stream, streamSize, &tooLong);

    vrelay::test::SplitSource source(stream, streamSize, splits);
    std::vector<Frame> got;
    size_t frameStart = 0;
    auto packet = std::make_unique<vrelay::Packet>();
    bool failed = false;
    for (;;) {
        int received = -1;
        if (!packet->GetData(&source, &received)) {
            failed = true;
            break;
        }
        FuzzCheck(received >= 0);
        if (!packet->FilledPacket())
            continue;
        FuzzCheck(packet->Length() <= vrelay::kMaxPayload);
        FuzzCheck(packet->Data() != nullptr);
        // A complete frame ends exactly where its bytes end.
        FuzzCheck(source.Consumed() == frameStart + 14 + packet->Length());
        frameStart = source.Consumed();
        Frame frame;
        frame.type = packet->PacketType();
        frame.streamId = packet->StreamId();
        frame.payload.assign(packet->Data(), packet->Data() + packet->Length());
        frame.trailer = packet->OK() ? packet->Length() : ~packet->Length();
        got.push_back(std::move(frame));
        packet = std::make_unique<vrelay::Packet>();
    }

    FuzzCheck(got.size() == expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        FuzzCheck(got[i].type == expected[i].type);
        FuzzCheck(got[i].streamId == expected[i].streamId);
        FuzzCheck(got[i].payload == expected[i].payload);
        // OK() holds exactly when the trailer repeats the length.
        const bool ok = expected[i].trailer == expected[i].payload.size();
        FuzzCheck((got[i].trailer == got[i].payload.size()) == ok);
    }
    // The reader fails on an oversize length or once the stream is used up,
    // and never reads into a frame it has not started.
    FuzzCheck(failed);
    FuzzCheck(tooLong ? source.Consumed() == frameStart + 10 : source.Consumed() == streamSize);
    return 0;
}
