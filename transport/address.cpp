// SPDX-License-Identifier: MIT
#include "transport/address.h"

#include <cerrno>
#include <cstdlib>

namespace vrelay {

bool ParseWholeNumber(const std::string& text, long low, long high, long* value) {
    const size_t digits = text.find_first_not_of("+-") == 1 ? 1 : 0;
    if (text.size() <= digits || text.find_first_not_of("0123456789", digits) != std::string::npos) {
        return false;
    }
    errno = 0;
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseHostPort(const std::string& text, HostPort* address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    long port = 0;
    if (host.empty() || !ParseWholeNumber(text.substr(colon + 1), 1, 65535, &port) ||
        text[colon + 1] == '+' || text[colon + 1] == '-') {
        return false;
    }
    address->host = host;
    address->port = static_cast<int>(port);
    return true;
}

bool ParseAddressList(const std::string& text, std::vector<HostPort>* list, std::string* error) {
    std::vector<HostPort> parsed;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string entry = text.substr(start, comma - start);
        HostPort address;
        if (!ParseHostPort(entry, &address)) {
            *error = "\"" + entry + "\" is not HOST:PORT";
            return false;
        }
        parsed.push_back(address);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    *list = std::move(parsed);
    return true;
}

}  // namespace vrelay
