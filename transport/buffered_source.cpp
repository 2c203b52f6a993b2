// SPDX-License-Identifier: MIT
#include "transport/buffered_source.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vrelay {

void BufferedSource::SetSource(ByteSource* source) {
    source_ = source;
    begin_ = end_ = 0;
}

bool BufferedSource::ReceiveBytes(char* buffer, size_t max, size_t* received) {
    *received = 0;
    if (max == 0) {
        return source_ != nullptr || begin_ != end_;
    }
    if (begin_ == end_) {
        if (source_ == nullptr) {
            return false;
        }
        if (!storage_) {
            storage_.reset(new (std::nothrow) char[kCapacity]);
            if (!storage_) {
                // No room for a buffer: read unbuffered.
                return source_->ReceiveBytes(buffer, max, received);
            }
        }
        size_t got = 0;
        if (!source_->ReceiveBytes(storage_.get(), kCapacity, &got)) {
            return false;
        }
        begin_ = 0;
        end_ = got;
    }
    const size_t n = std::min(max, end_ - begin_);
    std::memcpy(buffer, storage_.get() + begin_, n);
    begin_ += n;
    *received = n;
    return true;
}

void BufferedSource::ReleaseIfEmpty() {
    if (begin_ == end_) {
        storage_.reset();
        begin_ = end_ = 0;
    }
}

}  // namespace vrelay
