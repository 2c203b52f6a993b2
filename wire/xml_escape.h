// SPDX-License-Identifier: MIT
// Text made safe to put into the XML a server reads: the characters that would
// start markup or end an attribute value travel as entities.
#ifndef VRELAY_WIRE_XML_ESCAPE_H
#define VRELAY_WIRE_XML_ESCAPE_H

#include <cstddef>
#include <string>

namespace vrelay {
namespace wire {

enum class XmlContext {
    kText,       // element content: & < >
    kAttribute,  // an attribute value in either kind of quotes: & < " '
    kAnywhere,   // text or attribute value alike: & < > " '
};

// The entity that stands for c in context, or null when c goes as it is.
inline const char* XmlEntity(char c, XmlContext context) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return context != XmlContext::kAttribute ? "&gt;" : nullptr;
        case '"':
            return context != XmlContext::kText ? "&quot;" : nullptr;
        case '\'':
            return context != XmlContext::kText ? "&apos;" : nullptr;
        default:
            return nullptr;
    }
}

// Appends length bytes of text to *out, each character XmlEntity names
// replaced by its entity.
void AppendEscapedXml(const char* text, size_t length, XmlContext context, std::string* out);
std::string EscapeXml(const std::string& text, XmlContext context);

}  // namespace wire
}  // namespace vrelay

#endif
