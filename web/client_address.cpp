// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/client_address.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

namespace vrelay {
namespace web {

namespace ip = boost::asio::ip;

namespace {

ip::address Plain(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// text cut at each separator outside double quotes, each part trimmed.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == separator && !quoted) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    for (std::string& part : parts) {
        part = Trim(part);
    }
    return parts;
}

// The address of one hop: "192.0.2.1", "192.0.2.1:80", "2001:db8::1",
// "[2001:db8::1]:80", quoted or not; nothing for a name or "unknown".
std::optional<ip::address> Hop(std::string node) {
    if (node.size() >= 2 && node.front() == '"' && node.back() == '"') {
        node = node.substr(1, node.size() - 2);
    }
    if (!node.empty() && node.front() == '[') {
        const size_t close = node.find(']');
        node = close == std::string::npos ? std::string() : node.substr(1, close - 1);
    } else if (std::count(node.begin(), node.end(), ':') == 1) {
        node = node.substr(0, node.find(':'));
    }
    boost::system::error_code error;
    const ip::address address = ip::make_address(node, error);
    if (error) {
        return std::nullopt;
    }
    return Plain(address);
}

template <typename Bytes>
bool SamePrefix(const Bytes& a, const Bytes& b, unsigned bits) {
    for (size_t i = 0; i < a.size() && bits > 0; ++i, bits -= std::min(bits, 8u)) {
        const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
        if (((a[i] ^ b[i]) & mask) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string AddressText(const ip::address& address) { return Plain(address).to_string(); }

bool TrustedProxies::Add(const std::string& spec) {
    const size_t slash = spec.find('/');
    boost::system::error_code error;
    const ip::address address = Plain(ip::make_address(spec.substr(0, slash), error));
    if (error) {
        return false;
    }
    const unsigned most = address.is_v4() ? 32 : 128;
    unsigned bits = most;
    if (slash != std::string::npos) {
        const std::string count = spec.substr(slash + 1);
        char* end = nullptr;
        const unsigned long n = std::strtoul(count.c_str(), &end, 10);
        if (count.empty() || *end != '\0' || !std::isdigit(static_cast<unsigned char>(count[0])) ||
            n > most) {
            return false;
        }
        bits = static_cast<unsigned>(n);
    }
    networks_.push_back({address, bits});
    return true;
}

bool TrustedProxies::Trusts(const ip::address& address) const {
    const ip::address plain = Plain(address);
    return std::any_of(networks_.begin(), networks_.end(), [&](const Network& network) {
        if (network.address.is_v4() != plain.is_v4()) {
            return false;
        }
        return plain.is_v4() ? SamePrefix(plain.to_v4().to_bytes(),
                                          network.address.to_v4().to_bytes(), network.bits)
                             : SamePrefix(plain.to_v6().to_bytes(),
                                          network.address.to_v6().to_bytes(), network.bits);
    });
}

std::string TrustedProxies::Client(const ip::address& peer,
                                   const std::vector<std::string>& forwardedFor,
                                   const std::vector<std::string>& forwarded) const {
    ip::address client = Plain(peer);
    if (!Trusts(client)) {
        return AddressText(client);
    }
    // The hops, nearest to the client first.
    std::vector<std::string> hops;
    for (const std::string& value : forwardedFor) {
        for (const std::string& hop : Split(value, ',')) {
            hops.push_back(hop);
        }
    }
    if (forwardedFor.empty()) {
        for (const std::string& value : forwarded) {
            for (const std::string& element : Split(value, ',')) {
                std::string node = "unknown";
                for (const std::string& pair : Split(element, ';')) {
                    std::string key = pair.substr(0, 4);
                    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
                        return static_cast<char>(std::tolower(c));
                    });
                    if (key == "for=") {
                        node = pair.substr(4);
                    }
                }
                hops.push_back(node);
            }
        }
    }
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        const std::optional<ip::address> address = Hop(*hop);
        if (!address) {
            break;
        }
        client = *address;
        if (!Trusts(client)) {
            break;
        }
    }
    return AddressText(client);
}

}  // namespace web
}  // namespace vrelay
