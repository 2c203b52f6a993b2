// SPDX-License-Identifier: MIT
// UTF-8, one character at a time: what a text's bytes are, and a code point
// written as them. Everything that reads or writes text people typed (entity
// decoding, input cleaning, offsets into a page's text) steps through it here.
#ifndef VRELAY_WIRE_UTF8_H
#define VRELAY_WIRE_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vrelay {
namespace wire {

// Appends the UTF-8 form of code (at most U+10FFFF; surrogates are the
// caller's to refuse).
void AppendUtf8(uint32_t code, std::string* out);

// The length of the well-formed UTF-8 character at text[at]: 1 to 4; 0 when
// the bytes there are not UTF-8 (a stray byte, an overlong form, a surrogate,
// a value past U+10FFFF); -1 when they may be but the text ends too soon.
// at must be below text.size().
int Utf8Length(const std::string& text, size_t at);

}  // namespace wire
}  // namespace vrelay

#endif
