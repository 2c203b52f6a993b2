// SPDX-License-Identifier: MIT
// Base of the objects behind enumerator handles: a position that can be
// rewound.
#ifndef VRELAY_CLIENT_ENUMERATOR_H
#define VRELAY_CLIENT_ENUMERATOR_H

#include <atomic>
#include <cstdint>

namespace vrelay {

class Enumerator {
  public:
    Enumerator() = default;
    virtual ~Enumerator() = default;
    Enumerator(const Enumerator&) = delete;
    Enumerator& operator=(const Enumerator&) = delete;

    virtual void rewind() { position_.store(0); }

    // Index of the next item; atomic, since any thread may step any
    // enumerator.
    std::atomic<int32_t> position_{0};
};

}  // namespace vrelay

#endif
