// Base of the objects behind enumerator handles: a position that can be
// rewound.
#ifndef VRELAY_CLIENT_ENUMERATOR_H
#define VRELAY_CLIENT_ENUMERATOR_H

#include <cstdint>

namespace vrelay {

class Enumerator {
  public:
    Enumerator() = default;
    virtual ~Enumerator() = default;
    Enumerator(const Enumerator&) = delete;
    Enumerator& operator=(const Enumerator&) = delete;

    virtual void rewind() { m_position = 0; }

    int32_t m_position = 0;  // index of the next item
};

}  // namespace vrelay

#endif
