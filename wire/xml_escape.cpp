// SPDX-License-Identifier: MIT
#include "wire/xml_escape.h"

namespace vrelay {
namespace wire {

void AppendEscapedXml(const char* text, size_t length, XmlContext context, std::string* out) {
    for (size_t i = 0; i < length; ++i) {
        if (const char* entity = XmlEntity(text[i], context)) {
            out->append(entity);
        } else {
            out->push_back(text[i]);
        }
    }
}

std::string EscapeXml(const std::string& text, XmlContext context) {
    std::string out;
    out.reserve(text.size());
    AppendEscapedXml(text.data(), text.size(), context, &out);
    return out;
}

}  // namespace wire
}  // namespace vrelay
