// SPDX-License-Identifier: MIT
// Frames, the one envelope of everything client, server and the server's
// worker processes send each other: type (2 bytes), stream id (4), payload
// length (4), the payload, and the length again (4); integers big-endian.
//
// FrameReader cuts frames out of the bytes it is fed and never touches a
// stream: its owner reads a socket, a pipe, a test's or a fuzzer's bytes into
// it, in any pieces, and takes the frames out whole. The writer is two
// functions of the same layout: AppendFrame copies a frame into a buffer, and
// FrameParts gathers a frame's fixed fields around payload parts left where
// they are, for one vectored send.
#ifndef VRELAY_WIRE_FRAME_H
#define VRELAY_WIRE_FRAME_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "transport/byte_io.h"

namespace vrelay {
namespace wire {

// What a frame carries (payloads: payload.h). The client library hands the
// same numbers to applications as the public header's PACKET_TYPE.
enum PacketType : uint16_t {
    kText = 1,          // client: the text that ends a request, NUL-terminated
    kPhoneme = 3,       // server: one phoneme record
    kAudio = 6,         // server: signed 16-bit little-endian mono PCM
    kMark = 8,          // server: a mark reached
    kFormat = 9,        // server: the audio format
    kMessage = 10,      // server: a message, NUL-terminated UTF-8
    kEnd = 11,          // server: the answer to a request is complete
    kClose = 12,        // either side: the stream ends (empty payload)
    kQuery = 13,        // either side: a query, and the server's reply text
    kRequestDone = 14,  // never sent: the event that completes an asynchronous request
    kTextChunk = 15,    // client: text continuing an open request
};

// The largest payload a client or server frame may carry.
constexpr uint32_t kMaxPayload = 64000;
constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 4;
constexpr size_t kFrameOverhead = kHeaderSize + kTrailerSize;

// One frame taken out of a reader: its payload lies in the reader's buffer
// (never null, also when empty) and stays valid until the reader is next
// fed, asked for space or for the next frame, reset or released.
struct Frame {
    uint16_t type = 0;
    int32_t streamId = 0;
    const unsigned char* data = nullptr;
    uint32_t length = 0;
};

class FrameReader {
  public:
    enum class Status {
        kFrame,     // a whole frame was taken out
        kNeedMore,  // every byte fed so far belongs to the frame being filled
        // The two framing errors, after which nothing more can be read until
        // Reset (the stream is out of step). Next fills the frame's type and
        // length for the owner's message.
        kTooLong,   // a header announced more than the largest payload
        kMismatch,  // a trailer disagreed with its header's length
    };
    // Room the buffer starts with: one read can bring a whole client frame.
    static constexpr size_t kCapacity = 64 * 1024;

    // maxPayload: the largest payload a header may announce.
    explicit FrameReader(uint32_t maxPayload = kMaxPayload) : max_payload_(maxPayload) {}
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Appends a copy of the bytes. False when memory ran out (nothing is
    // appended).
    bool Feed(const void* data, size_t size);
    // Where the next bytes of the stream may be read to directly: *room bytes,
    // at least the rest of the frame being filled (Missing); Filled(n) then
    // says how many arrived there. Null (and *room 0) when memory ran out.
    char* Space(size_t* room);
    void Filled(size_t n) { end_ += n; }
    // Bytes the frame being filled still lacks, as far as its header is known
    // (before that, the rest of the header). An owner that shares the stream
    // with another reader reads no more than this, so that no byte of the
    // next frame is taken.
    size_t Missing() const;

    // The next whole frame, if the bytes fed hold one.
    Status Next(Frame* frame);

    // Forgets every byte fed and a framing error (a new stream).
    void Reset();
    // Frees the buffer while nothing is buffered, so that an idle reader
    // holds none.
    void ReleaseIfEmpty();
    size_t Buffered() const { return end_ - begin_; }

  private:
    // Room for size more bytes at the end; false when memory ran out.
    bool Reserve(size_t size);

    const uint32_t max_payload_;
    std::unique_ptr<unsigned char[]> storage_;
    size_t capacity_ = 0;
    size_t begin_ = 0;                   // the first byte of the frame being filled
    size_t end_ = 0;                     // one past the last byte fed
    Status broken_ = Status::kNeedMore;  // a framing error once one was met
    Frame failed_;                       // the header that caused it
};

// Appends one frame carrying payload to *out.
void AppendFrame(uint16_t type, const void* payload, size_t length, std::string* out,
                 int32_t streamId = 0);

// A frame to send whose payload is made of up to kMaxParts parts, left where
// they are: its header, the parts and its trailer as one list of pieces.
// The parts must outlive the pieces' use.
class FrameParts {
  public:
    static constexpr size_t kMaxParts = 3;

    // With more than kMaxParts parts, or a payload longer than four bytes
    // can state, Valid() is false and there are no pieces.
    FrameParts(uint16_t type, std::initializer_list<BytePiece> payload, int32_t streamId = 0);
    FrameParts(const FrameParts&) = delete;
    FrameParts& operator=(const FrameParts&) = delete;

    bool Valid() const { return count_ > 0; }
    const BytePiece* Pieces() const { return pieces_; }
    size_t Count() const { return count_; }
    // The frame's size in bytes, and its payload's.
    size_t Size() const { return length_ + kFrameOverhead; }
    size_t PayloadLength() const { return length_; }

  private:
    unsigned char header_[kHeaderSize];
    unsigned char trailer_[kTrailerSize];
    BytePiece pieces_[kMaxParts + 2];
    size_t count_ = 0;
    size_t length_ = 0;
};

}  // namespace wire
}  // namespace vrelay

#endif
