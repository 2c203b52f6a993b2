// SPDX-License-Identifier: MIT
// Server addresses and the numbers of options as people type them, on a
// command line or in a configuration file: one reading for every program, so
// that "--server=[::1]:5555" or "--port=08" means the same to each.
#ifndef VRELAY_TRANSPORT_ADDRESS_H
#define VRELAY_TRANSPORT_ADDRESS_H

#include <string>
#include <vector>

namespace vrelay {

struct HostPort {
    std::string host;  // a name or an address, IPv6 without its brackets
    int port = 0;
};

// A whole decimal number from low to high: an optional sign and digits,
// nothing before or after. False (leaving *value) otherwise.
bool ParseWholeNumber(const std::string& text, long low, long high, long* value);

// "HOST:PORT" or "[IPv6]:PORT", the port from 1 to 65535. False (leaving
// *address) otherwise.
bool ParseHostPort(const std::string& text, HostPort* address);

// "HOST:PORT,HOST:PORT,...": servers to try in order. False with *error
// naming the entry that is not HOST:PORT (leaving *list) otherwise.
bool ParseAddressList(const std::string& text, std::vector<HostPort>* list, std::string* error);

}  // namespace vrelay

#endif
