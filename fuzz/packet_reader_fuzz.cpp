// SPDX-License-Identifier: MIT
// Fuzzes the frame reader: a byte stream delivered in arbitrary pieces, fed
// or read into the reader's space, must give exactly the frames, and the
// framing error, that a one-piece decode of the same bytes gives; a reader
// that reads no further than Missing() says never holds a byte of the next
// frame.
//
// Input: byte 0 is the number of split sizes that follow (at most 16); each
// split size is the length of one piece (0 counts as 1); even sizes are fed
// by copy, odd ones read into the reader's space no further than the frame
// being filled. The sizes are used in turn, over and over. The rest is the
// stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "wire/frame.h"

namespace {

using vrelay::wire::FrameReader;

using Frame = std::tuple<uint16_t, int32_t, std::vector<unsigned char>>;  // type, id, payload

uint32_t ReadU32(const unsigned char* at) {
    return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}

// The frames of the stream decoded in one piece, and how reading ends.
std::vector<Frame> DecodeWhole(const unsigned char* data, size_t size, FrameReader::Status* end) {
    std::vector<Frame> frames;
    *end = FrameReader::Status::kNeedMore;
    size_t at = 0;
    while (size - at >= 10) {
        const uint32_t length = ReadU32(data + at + 6);
        if (length > vrelay::wire::kMaxPayload) {
            *end = FrameReader::Status::kTooLong;
            break;
        }
        if (size - at < 10 + size_t{length} + 4)
            break;
        if (ReadU32(data + at + 10 + length) != length) {
            *end = FrameReader::Status::kMismatch;
            break;
        }
        frames.emplace_back(static_cast<uint16_t>((data[at] << 8) | data[at + 1]),
                            static_cast<int32_t>(ReadU32(data + at + 2)),
                            std::vector<unsigned char>(data + at + 10, data + at + 10 + length));
        at += 10 + size_t{length} + 4;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t splitCount = std::min<size_t>(data[0] % 17, size - 1);
    const std::vector<size_t> splits(data + 1, data + 1 + splitCount);
    const unsigned char* stream = data + 1 + splitCount;
    const size_t streamSize = size - 1 - splitCount;

    FrameReader::Status expectedEnd;
    const std::vector<Frame> expected = DecodeWhole(stream, streamSize, &expectedEnd);

    FrameReader reader;
    std::vector<Frame> got;
    FrameReader::Status status = FrameReader::Status::kNeedMore;
    size_t at = 0;
    size_t turn = 0;
    for (;;) {
        const size_t before = got.size();
        vrelay::wire::Frame frame;
        while ((status = reader.Next(&frame)) == FrameReader::Status::kFrame) {
            FuzzCheck(frame.data != nullptr && frame.length <= vrelay::wire::kMaxPayload);
            got.emplace_back(frame.type, frame.streamId,
                             std::vector<unsigned char>(frame.data, frame.data + frame.length));
        }
        const bool bounded =
            turn > 0 && splits.size() > 0 && splits[(turn - 1) % splits.size()] % 2;
        FuzzCheck(!bounded || got.size() <= before + 1);
        if (status != FrameReader::Status::kNeedMore || at == streamSize)
            break;
        FuzzCheck(reader.Missing() > 0);
        const size_t want =
            splits.empty() ? streamSize - at : std::max<size_t>(splits[turn % splits.size()], 1);
        ++turn;
        size_t n = std::min(want, streamSize - at);
        if (!splits.empty() && want % 2 == 1) {
            size_t room = 0;
            char* space = reader.Space(&room);
            FuzzCheck(space != nullptr && room >= reader.Missing());
            n = std::min({n, room, reader.Missing()});
            std::memcpy(space, stream + at, n);
            reader.Filled(n);
        } else {
            FuzzCheck(reader.Feed(stream + at, n));
        }
        at += n;
    }
    FuzzCheck(got == expected);
    FuzzCheck(status == expectedEnd);
    return 0;
}
