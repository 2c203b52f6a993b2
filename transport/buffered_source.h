// SPDX-License-Identifier: MIT
// A reader's buffer in front of a byte source: the source is read in large
// chunks and the bytes handed out in the sizes asked for, so that a reader
// that takes a frame field by field makes one system call per chunk rather
// than one per field.
#ifndef VRELAY_TRANSPORT_BUFFERED_SOURCE_H
#define VRELAY_TRANSPORT_BUFFERED_SOURCE_H

#include <cstddef>
#include <memory>

#include "transport/byte_io.h"

namespace vrelay {

class BufferedSource : public ByteSource {
  public:
    // Room for the largest frame, so that one read can bring a whole one.
    static constexpr size_t kCapacity = 64 * 1024;

    BufferedSource() = default;
    BufferedSource(const BufferedSource&) = delete;
    BufferedSource& operator=(const BufferedSource&) = delete;

    // The stream to read (not owned; null for none). Bytes buffered from an
    // earlier stream are dropped.
    void SetSource(ByteSource* source);

    // Hands out buffered bytes first; with none buffered, one read of the
    // source refills the buffer. The source's results pass through: true with
    // *received 0 when its wait ended without data, false when it failed.
    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override;

    size_t Buffered() const { return end_ - begin_; }
    // Frees the storage while nothing is buffered, so that an idle reader
    // holds none.
    void ReleaseIfEmpty();

  private:
    ByteSource* source_ = nullptr;
    std::unique_ptr<char[]> storage_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace vrelay

#endif
