// SPDX-License-Identifier: GPL-3.0-or-later
// HTML named character references (&copy;, &eacute;, &nbsp; ...), which
// texts taken from web pages carry but XML does not define.
#ifndef VRELAY_SERVER_HTML_ENTITIES_H
#define VRELAY_SERVER_HTML_ENTITIES_H

#include <cstdint>
#include <string>

namespace vrelay {
namespace server {

// The code point HTML gives the entity name (without '&' and ';'), or 0 when
// HTML has no entity of that name. Names are case-sensitive, as in HTML.
uint32_t HtmlEntityCodePoint(const std::string& name);

}  // namespace server
}  // namespace vrelay

#endif
