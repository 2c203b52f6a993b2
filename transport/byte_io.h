// SPDX-License-Identifier: MIT
// The two byte-stream roles the packet layer needs. Socket plays both; tests
// plug in fakes so that framing is exercised without a network.
#ifndef VRELAY_TRANSPORT_BYTE_IO_H
#define VRELAY_TRANSPORT_BYTE_IO_H

#include <cstddef>
#include <cstdint>

namespace vrelay {

// A run of bytes to send, one of the pieces of a frame.
struct BytePiece {
    const char* data;
    size_t size;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Sends all length bytes. Returns length, 0 when length is 0, -1 on failure.
    // more: further bytes of the same frame follow at once (lets the sender
    // coalesce them into one segment).
    virtual int64_t SendBytes(const char* data, size_t length, bool more = false) = 0;
    // Sends the pieces in order as one run of bytes and returns how many bytes
    // went out: the total of the sizes, or fewer when sending failed (the
    // bytes before the failure were sent). A sink that can gather pieces into
    // one system call overrides this; here each piece is one SendBytes, all
    // but the last marked "more".
    virtual size_t SendPieces(const BytePiece* pieces, size_t count) {
        size_t sent = 0;
        for (size_t i = 0; i < count; ++i) {
            if (SendBytes(pieces[i].data, pieces[i].size, i + 1 < count) !=
                static_cast<int64_t>(pieces[i].size)) {
                break;
            }
            sent += pieces[i].size;
        }
        return sent;
    }
};

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads what is available, up to max bytes, into buffer. True with
    // *received > 0 on data; true with *received == 0 when the wait ended
    // without data (time limit or wake-up); false when the stream is closed or
    // failed (*received is then 0).
    virtual bool ReceiveBytes(char* buffer, size_t max, size_t* received) = 0;
};

}  // namespace vrelay

#endif
