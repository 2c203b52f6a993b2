// SPDX-License-Identifier: MIT
// The frame reader fed bytes directly, no socket involved.
#include "connection/frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Bytes;
using test::EncodeFrame;

// Type and payload of each frame the reader hands out.
using Frames = std::vector<std::pair<uint16_t, Bytes>>;

// Drains every whole frame the reader holds.
FrameReader::Status Drain(FrameReader& reader, Frames* frames) {
    for (;;) {
        std::unique_ptr<Packet> frame;
        const FrameReader::Status status = reader.Next(&frame);
        if (status != FrameReader::Status::kFrame)
            return status;
        frames->emplace_back(frame->PacketType(),
                             Bytes(frame->Data(), frame->Data() + frame->Length()));
    }
}

// Whatever the pieces, copied in or read into its space, the same frames
// come out, each as soon as its last byte is in.
TEST(FrameReaderTest, FramesComeOutWholeWhateverThePieces) {
    const Frames sent = {{PACKET_DATA_6, Bytes{'a', 'b', 'c'}},
                         {PACKET_END, {}},
                         {PACKET_DATA_8, Bytes(64000, 'x')},
                         {PACKET_QUERY, Bytes{'q', 0}}};
    Bytes stream;
    for (const auto& frame : sent) {
        const Bytes bytes = EncodeFrame(frame.first, frame.second);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    for (size_t piece : {1, 13, 14, 4096, 70000, 200000}) {
        for (bool direct : {false, true}) {
            SCOPED_TRACE(std::to_string(piece) + (direct ? " read into its space" : " fed"));
            FrameReader reader;
            Frames got;
            for (size_t at = 0; at < stream.size(); at += piece) {
                const size_t size = std::min(piece, stream.size() - at);
                const char* bytes = reinterpret_cast<const char*>(stream.data() + at);
                if (direct) {
                    // Room comes only once the frame being read took every
                    // byte, so a piece may need more than one read.
                    for (size_t done = 0; done < size;) {
                        size_t room = 0;
                        char* space = reader.Space(&room);
                        ASSERT_NE(space, nullptr);
                        const size_t n = std::min(room, size - done);
                        std::memcpy(space, bytes + done, n);
                        reader.Filled(n);
                        done += n;
                        ASSERT_EQ(Drain(reader, &got), FrameReader::Status::kNeedMore);
                    }
                } else {
                    ASSERT_TRUE(reader.Feed(bytes, size));
                    ASSERT_EQ(Drain(reader, &got), FrameReader::Status::kNeedMore);
                }
            }
            EXPECT_EQ(got, sent);
            EXPECT_EQ(reader.Buffered(), 0u);
        }
    }
}

// A length over the largest payload: nothing after it can be read (its
// bytes mean nothing) until the reader starts a new stream.
TEST(FrameReaderTest, AnOversizeLengthStopsTheReaderUntilReset) {
    const Bytes tooLong = {0, 6, 0, 0, 0, 0, 0, 0, 0xFA, 0x01};
    const Bytes good = EncodeFrame(PACKET_END, {});
    FrameReader reader;
    Frames got;
    test::CapturedLog log;
    ASSERT_TRUE(reader.Feed(reinterpret_cast<const char*>(tooLong.data()), tooLong.size()));
    ASSERT_TRUE(reader.Feed(reinterpret_cast<const char*>(good.data()), good.size()));
    EXPECT_EQ(Drain(reader, &got), FrameReader::Status::kTooLong);
    EXPECT_EQ(Drain(reader, &got), FrameReader::Status::kTooLong);
    EXPECT_EQ(log.Messages().size(), 1u);
    reader.Reset();
    ASSERT_TRUE(reader.Feed(reinterpret_cast<const char*>(good.data()), good.size()));
    EXPECT_EQ(Drain(reader, &got), FrameReader::Status::kNeedMore);
    EXPECT_EQ(got, (Frames{{PACKET_END, {}}}));
}

}  // namespace
}  // namespace vrelay
