// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vrelay {
namespace server {

std::string Printable(const std::string& text, size_t max_bytes) {
    std::string out;
    size_t n = std::min(text.size(), max_bytes);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;  // not inside a UTF-8 sequence
    }
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (n < text.size()) {
        out += "...";
    }
    return out;
}

}  // namespace server
}  // namespace vrelay
