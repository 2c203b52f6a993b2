// SPDX-License-Identifier: MIT
// HTML named character references (&copy;, &eacute;, &nbsp; ...), which
// texts taken from web pages carry but XML does not define.
#ifndef VRELAY_WIRE_HTML_ENTITIES_H
#define VRELAY_WIRE_HTML_ENTITIES_H

#include <cstdint>
#include <string>

namespace vrelay {
namespace wire {

// The code point HTML gives the entity name (without '&' and ';'), or 0 when
// HTML has no entity of that name. Names are case-sensitive, as in HTML.
uint32_t HtmlEntityCodePoint(const std::string& name);

}  // namespace wire
}  // namespace vrelay

#endif
