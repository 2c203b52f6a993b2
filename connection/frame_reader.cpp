// SPDX-License-Identifier: MIT
#include "connection/frame_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vrelay {

bool FrameReader::Source::ReceiveBytes(char* buffer, size_t max, size_t* received) {
    const size_t n = std::min(max, reader_.end_ - reader_.begin_);
    if (n > 0) {
        std::memcpy(buffer, reader_.storage_.get() + reader_.begin_, n);
    }
    reader_.begin_ += n;
    *received = n;
    return true;  // nothing buffered is a wait that ended without data
}

bool FrameReader::Reserve(size_t size) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    if (capacity_ - end_ >= size) {
        return true;
    }
    const size_t kept = end_ - begin_;
    const size_t capacity = std::max(kCapacity, kept + size);
    std::unique_ptr<char[]> storage(new (std::nothrow) char[capacity]);
    if (!storage) {
        return false;
    }
    if (kept > 0) {
        std::memcpy(storage.get(), storage_.get() + begin_, kept);
    }
    storage_ = std::move(storage);
    capacity_ = capacity;
    begin_ = 0;
    end_ = kept;
    return true;
}

bool FrameReader::Feed(const char* data, size_t size) {
    if (!Reserve(size)) {
        return false;
    }
    if (size > 0) {
        std::memcpy(storage_.get() + end_, data, size);
    }
    end_ += size;
    return true;
}

char* FrameReader::Space(size_t* room) {
    *room = 0;
    if (!Reserve(1)) {
        return nullptr;
    }
    *room = capacity_ - end_;
    return storage_.get() + end_;
}

FrameReader::Status FrameReader::Next(std::unique_ptr<Packet>* frame) {
    if (broken_) {
        return Status::kTooLong;
    }
    if (!filling_) {
        filling_ = std::make_unique<Packet>();
    }
    Source source(*this);
    int received = 0;
    // The packet takes each field's missing bytes, so it stops either whole
    // or with every buffered byte taken; its only failure is a length over
    // the largest payload.
    if (!filling_->GetData(&source, &received)) {
        broken_ = true;
        return Status::kTooLong;
    }
    if (!filling_->FilledPacket()) {
        return Status::kNeedMore;
    }
    *frame = std::move(filling_);
    return Status::kFrame;
}

void FrameReader::Reset() {
    begin_ = end_ = 0;
    filling_.reset();
    broken_ = false;
}

void FrameReader::ReleaseIfEmpty() {
    if (begin_ == end_) {
        storage_.reset();
        capacity_ = 0;
        begin_ = end_ = 0;
    }
}

}  // namespace vrelay
