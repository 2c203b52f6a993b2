// The two byte-stream roles the packet layer needs. Socket plays both; tests
// plug in fakes so that framing is exercised without a network.
#ifndef VRELAY_TRANSPORT_BYTE_IO_H
#define VRELAY_TRANSPORT_BYTE_IO_H

#include <cstddef>
#include <cstdint>

namespace vrelay {

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Sends all length bytes. Returns length, 0 when length is 0, -1 on failure.
    // more: further bytes of the same frame follow at once (lets the sender
    // coalesce them into one segment).
    virtual int64_t SendBytes(const char* data, size_t length, bool more = false) = 0;
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
