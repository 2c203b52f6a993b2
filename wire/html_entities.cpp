// SPDX-License-Identifier: MIT
#include "wire/html_entities.h"

#include <libxml/HTMLparser.h>

namespace vrelay {
namespace wire {

uint32_t HtmlEntityCodePoint(const std::string& name) {
    // libxml2's table of the HTML 4 entities: a static array, no parser state.
    const htmlEntityDesc* entity = htmlEntityLookup(reinterpret_cast<const xmlChar*>(name.c_str()));
    return entity != nullptr ? entity->value : 0;
}

}  // namespace wire
}  // namespace vrelay
