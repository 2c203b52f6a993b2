// SPDX-License-Identifier: MIT
// A byte stream served in reads of scripted sizes, for the tests and fuzz
// targets that cut bytes into frames as a reader of a socket would.
#ifndef VRELAY_TESTS_SUPPORT_SPLIT_SOURCE_H
#define VRELAY_TESTS_SUPPORT_SPLIT_SOURCE_H

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "transport/byte_io.h"

namespace vrelay {
namespace test {

// Serves the stream in the given read sizes, used in turn over and over (no
// sizes: as much as asked); closed once it is used up. A size of 0 is a read
// that ends without data, always followed by one that gives data, so reading
// ends. A reader that asks for no bytes at all aborts the run.
class SplitSource : public ByteSource {
  public:
    SplitSource(const unsigned char* data, size_t size, std::vector<size_t> splits)
        : data_(data), size_(size), splits_(std::move(splits)) {}

    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override {
        *received = 0;
        if (max == 0)
            std::abort();
        if (at_ == size_)
            return false;
        size_t want = splits_.empty() ? max : splits_[turn_++ % splits_.size()];
        if (want == 0 && !lastWasEmpty_) {
            lastWasEmpty_ = true;
            return true;
        }
        lastWasEmpty_ = false;
        if (want == 0)
            want = 1;
        const size_t n = std::min({want, max, size_ - at_});
        std::memcpy(buffer, data_ + at_, n);
        at_ += n;
        *received = n;
        return true;
    }
    size_t Consumed() const { return at_; }

  private:
    const unsigned char* data_;
    size_t size_;
    std::vector<size_t> splits_;
    size_t turn_ = 0;
    size_t at_ = 0;
    bool lastWasEmpty_ = false;
};

}  // namespace test
}  // namespace vrelay

#endif
