// SPDX-License-Identifier: MIT
#include "wire/frame.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace vrelay {
namespace wire {

namespace {

// Smallest room Space offers, so that a stream read into it comes in reads
// of a useful size even when the frame being filled lacks only a few bytes.
constexpr size_t kMinRoom = 16 * 1024;

// Wire integers are big-endian, whatever the host's byte order.
void PutU32(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

uint32_t GetU32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

void PutHeader(uint16_t type, int32_t streamId, uint32_t length, unsigned char* out) {
    out[0] = static_cast<unsigned char>(type >> 8);
    out[1] = static_cast<unsigned char>(type);
    PutU32(out + 2, static_cast<uint32_t>(streamId));
    PutU32(out + 6, length);
}

Frame GetHeader(const unsigned char* in) {
    Frame frame;
    frame.type = static_cast<uint16_t>(in[0] << 8 | in[1]);
    frame.streamId = static_cast<int32_t>(GetU32(in + 2));
    frame.length = GetU32(in + 6);
    return frame;
}

}  // namespace

// ---- Reader ----

bool FrameReader::Reserve(size_t size) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    if (capacity_ - end_ >= size) {
        return true;
    }
    const size_t kept = end_ - begin_;
    if (capacity_ - kept >= size) {
        // Enough room once the bytes already taken out are dropped.
        std::memmove(storage_.get(), storage_.get() + begin_, kept);
    } else {
        const size_t capacity = std::max(kCapacity, kept + size);
        std::unique_ptr<unsigned char[]> storage(new (std::nothrow) unsigned char[capacity]);
        if (!storage) {
            return false;
        }
        if (kept > 0) {
            std::memcpy(storage.get(), storage_.get() + begin_, kept);
        }
        storage_ = std::move(storage);
        capacity_ = capacity;
    }
    begin_ = 0;
    end_ = kept;
    return true;
}

bool FrameReader::Feed(const void* data, size_t size) {
    if (!Reserve(size)) {
        return false;
    }
    if (size > 0) {
        std::memcpy(storage_.get() + end_, data, size);
    }
    end_ += size;
    return true;
}

size_t FrameReader::Missing() const {
    const size_t have = end_ - begin_;
    if (have < kHeaderSize) {
        return kHeaderSize - have;
    }
    // A length over the bound is never waited for: Next refuses it.
    const size_t length = std::min(GetHeader(storage_.get() + begin_).length, max_payload_);
    const size_t whole = kFrameOverhead + length;
    return have < whole ? whole - have : 0;
}

char* FrameReader::Space(size_t* room) {
    *room = 0;
    if (!Reserve(std::max(Missing(), kMinRoom))) {
        return nullptr;
    }
    *room = capacity_ - end_;
    return reinterpret_cast<char*>(storage_.get() + end_);
}

FrameReader::Status FrameReader::Next(Frame* frame) {
    if (broken_ != Status::kNeedMore) {
        *frame = failed_;
        return broken_;
    }
    const size_t have = end_ - begin_;
    if (have < kHeaderSize) {
        return Status::kNeedMore;
    }
    const unsigned char* at = storage_.get() + begin_;
    Frame header = GetHeader(at);
    if (header.length > max_payload_) {
        broken_ = Status::kTooLong;
        failed_ = header;
        *frame = header;
        return broken_;
    }
    const size_t whole = kFrameOverhead + header.length;
    if (have < whole) {
        return Status::kNeedMore;
    }
    begin_ += whole;
    if (GetU32(at + kHeaderSize + header.length) != header.length) {
        broken_ = Status::kMismatch;
        failed_ = header;
        *frame = header;
        return broken_;
    }
    header.data = at + kHeaderSize;
    *frame = header;
    return Status::kFrame;
}

void FrameReader::Reset() {
    begin_ = end_ = 0;
    broken_ = Status::kNeedMore;
    failed_ = Frame();
}

void FrameReader::ReleaseIfEmpty() {
    if (begin_ == end_) {
        storage_.reset();
        capacity_ = 0;
        begin_ = end_ = 0;
    }
}

// ---- Writer ----

void AppendFrame(uint16_t type, const void* payload, size_t length, std::string* out,
                 int32_t streamId) {
    unsigned char header[kHeaderSize];
    PutHeader(type, streamId, static_cast<uint32_t>(length), header);
    unsigned char trailer[kTrailerSize];
    PutU32(trailer, static_cast<uint32_t>(length));
    out->reserve(out->size() + kFrameOverhead + length);
    out->append(reinterpret_cast<const char*>(header), sizeof header);
    if (length > 0) {
        out->append(static_cast<const char*>(payload), length);
    }
    out->append(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

FrameParts::FrameParts(uint16_t type, std::initializer_list<BytePiece> payload, int32_t streamId) {
    size_t length = 0;
    for (const BytePiece& part : payload) {
        length += part.size;
    }
    if (payload.size() > kMaxParts || length > std::numeric_limits<uint32_t>::max()) {
        return;
    }
    length_ = length;
    PutHeader(type, streamId, static_cast<uint32_t>(length), header_);
    PutU32(trailer_, static_cast<uint32_t>(length));
    pieces_[count_++] = {reinterpret_cast<const char*>(header_), sizeof header_};
    for (const BytePiece& part : payload) {
        pieces_[count_++] = part;
    }
    pieces_[count_++] = {reinterpret_cast<const char*>(trailer_), sizeof trailer_};
}

}  // namespace wire
}  // namespace vrelay
