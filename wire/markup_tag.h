// SPDX-License-Identifier: MIT
// The pieces of markup both ends read: a tag and its attributes, the
// constructs that are not tags (comments, CDATA, processing instructions),
// and entities. The server reads the client's text with them; the front
// ends read the user's markup with them, so both agree on what a tag is.
#ifndef VRELAY_WIRE_MARKUP_TAG_H
#define VRELAY_WIRE_MARKUP_TAG_H

#include <cstddef>
#include <string>
#include <vector>

namespace vrelay {
namespace wire {

struct Attribute {
    std::string name;
    std::string value;  // entities decoded
};

struct Element {
    std::string name;
    std::vector<Attribute> attributes;

    // The value of the attribute, or fallback when it is absent.
    std::string Get(const std::string& attribute, const std::string& fallback = "") const;
};

// One tag, "<...>" included.
struct Tag {
    enum Kind { kOpen, kClose, kEmpty };
    Kind kind = kOpen;
    Element element;
};

// False for text that is not a start, end or empty-element tag (comments,
// processing instructions and declarations such as <!DOCTYPE ...> included),
// and for a tag that repeats an attribute or has more than kMaxTagAttributes
// of them.
constexpr size_t kMaxTagAttributes = 32;
bool ParseTag(const std::string& text, Tag* tag);

// Markup that is not a tag, with what opens and closes it.
struct Delimited {
    const char* open;
    const char* close;
};
extern const Delimited kComment;      // <!-- -->
extern const Delimited kCdata;        // <![CDATA[ ]]>
extern const Delimited kInstruction;  // <? ?>

// What starts at text[pos] ('<'): *kind is one of the above, or null for a
// tag (a declaration such as <!DOCTYPE ...> counts as one, which ParseTag
// refuses). False when the text ends before that can be told.
bool ClassifyConstruct(const std::string& text, size_t pos, const Delimited** kind);

// Index of the last character of the construct of that kind starting at
// text[start], a tag's '>' found past quoted attribute values. The scan
// starts at *from (start for a fresh one; *quote 0); npos when the text ends
// first, with *from and *quote saved so that a call on the longer text goes
// on where this one stopped.
size_t ConstructEnd(const std::string& text, size_t start, const Delimited* kind, size_t* from,
                    char* quote);

// Decodes the entity at text[pos] ('&') into *out and returns the index after
// it: XML's five entities, HTML's named ones and character references; a lone
// '&' stays itself; an unknown or invalid reference becomes a blank.
size_t DecodeEntity(const std::string& text, size_t pos, std::string* out);
// Every entity of element text decoded, as DecodeEntity does.
std::string DecodeEntities(const std::string& text);

}  // namespace wire
}  // namespace vrelay

#endif
