// SPDX-License-Identifier: MIT
// The voice catalogue: the server's voice list as an enumerator of named
// voices with their attributes.
//
// A voice element without a name attribute is skipped. A missing string
// attribute reads as "", a missing integer attribute as 0.
#ifndef VRELAY_CLIENT_VOICES_H
#define VRELAY_CLIENT_VOICES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/enumerator.h"

namespace vrelay {

class NameEnumerator : public Enumerator {
  public:
    NameEnumerator() = default;

    // Appends every voice element of an XML voice list, at any depth, the root
    // included, in document order. False, with nothing appended, when the
    // text is not well-formed XML, has a document type declaration (the list
    // takes no definitions from the server: no entities beyond the five
    // predefined ones, no attribute defaults), or has a tag with more than
    // kMaxAttributes attributes. The work is linear in the length; a voice
    // costs 12 bytes, and 4 more per attribute read, beyond its values.
    bool ParseVoiceList(const char* xml, size_t length);

    size_t Count() const { return start_.size(); }
    // The next name, advancing; null at the end.
    const char* Next();
    // The name of voice index (below Count()).
    const char* Name(size_t index) const { return text_.c_str() + fields_[start_[index]]; }

    // The current voice's (the one Next returned last) string for a key from
    // 3 to 17; null for another key or with no current voice.
    const char* StringValue(int32_t key) const;
    // The current voice's integer for key 1 or 2: its value, or
    // VR_NO_CURRENT_VOICE (checked first), VR_BAD_KEY.
    int32_t IntegerValue(int32_t key) const;

    // The most attributes one tag may have: the parser's duplicate check
    // costs the square of a tag's attributes.
    static constexpr size_t kMaxAttributes = 64;

  private:
    class Builder;

    // Field key (1 to 16) of voice index: the integer, or the string's offset
    // into text_; 0 when the voice lacks the attribute.
    uint32_t Field(size_t index, int32_t key) const;
    // The voice vrNextVoice returned last, or -1.
    int64_t CurrentIndex() const;

    // Filled before the enumerator gets its handle, read-only afterwards.
    std::string text_ = std::string(1, '\0');  // the values, NUL-terminated; offset 0: ""
    // Per voice: the name's offset, a mask of the keys it has (bit key), and
    // their fields in key order.
    std::vector<uint32_t> fields_;
    std::vector<uint32_t> start_;  // each voice's first entry in fields_
};

// The longest voice list a query collects; past it the list counts as not
// received (the enumerator is empty).
constexpr size_t kMaxVoiceListBytes = 16u << 20;

// The query that lists every voice.
extern const char kListVoicesQuery[];

}  // namespace vrelay

#endif
