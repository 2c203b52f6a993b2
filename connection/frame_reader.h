// SPDX-License-Identifier: MIT
// Reads frames out of the bytes it is fed. It never touches a socket: its
// owner feeds it what arrives from the stream, in any pieces, and takes the
// frames out whole, so the same reader serves a socket, a test's bytes or a
// fuzzer's. Bytes fed after the end of an answer stay, in stream order, for
// the next one.
#ifndef VRELAY_CONNECTION_FRAME_READER_H
#define VRELAY_CONNECTION_FRAME_READER_H

#include <cstddef>
#include <memory>

#include "transport/byte_io.h"
#include "transport/packet.h"

namespace vrelay {

class FrameReader {
  public:
    enum class Status {
        kFrame,     // a whole frame was taken out
        kNeedMore,  // every byte fed so far is in the frame being filled
        kTooLong,   // a header announced more than the largest payload (logged);
                    // nothing more can be read until Reset
    };
    // Room for the largest frame, so that one read can bring a whole one.
    static constexpr size_t kCapacity = 64 * 1024;

    FrameReader() = default;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Appends a copy of the bytes. False when memory ran out (nothing is
    // appended).
    bool Feed(const char* data, size_t size);
    // Where the next bytes of the stream may be read to directly: up to *room
    // bytes; Filled(n) then tells how many arrived there. Null when memory
    // ran out. Has kCapacity of room whenever Next has said kNeedMore.
    char* Space(size_t* room);
    void Filled(size_t n) { end_ += n; }

    // The next whole frame, if the bytes fed hold one.
    Status Next(std::unique_ptr<Packet>* frame);

    // Forgets every byte fed and the frame being filled (a new stream).
    void Reset();
    // Frees the buffer while nothing is buffered, so that an idle reader
    // holds none.
    void ReleaseIfEmpty();
    size_t Buffered() const { return end_ - begin_; }

  private:
    // Hands the buffered bytes to the packet, never more than it asks for.
    class Source final : public ByteSource {
      public:
        explicit Source(FrameReader& reader) : reader_(reader) {}
        bool ReceiveBytes(char* buffer, size_t max, size_t* received) override;

      private:
        FrameReader& reader_;
    };

    // Room for size more bytes at the end; false when memory ran out.
    bool Reserve(size_t size);

    std::unique_ptr<char[]> storage_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
    std::unique_ptr<Packet> filling_;
    bool broken_ = false;
};

}  // namespace vrelay

#endif
