// SPDX-License-Identifier: GPL-3.0-or-later
// Whom a request comes from, for the limits that count per client address.
// Behind a reverse proxy every request's peer is the proxy. A proxy listed as
// trusted tells the client's address in X-Forwarded-For, or in Forwarded
// (RFC 7239) when the request has no X-Forwarded-For; those headers are read
// only from a trusted peer, since anyone else could write anything there.
#ifndef VRELAY_WEB_CLIENT_ADDRESS_H
#define VRELAY_WEB_CLIENT_ADDRESS_H

#include <boost/asio/ip/address.hpp>
#include <string>
#include <vector>

namespace vrelay {
namespace web {

// address as text; an IPv4 address mapped into IPv6 as the IPv4 one.
std::string AddressText(const boost::asio::ip::address& address);

class TrustedProxies {
  public:
    // Adds an address or a network (ADDR/BITS); false when spec is neither.
    bool Add(const std::string& spec);
    bool Trusts(const boost::asio::ip::address& address) const;

    // The client of a request from peer, given the values of its
    // X-Forwarded-For and Forwarded headers in the order they came: read
    // from the right (the hop nearest to the bridge), the first address
    // that is not a trusted proxy. A hop that names no address ("unknown",
    // an obfuscated name) stops the walk at the last proxy passed; a peer
    // that is not trusted is the client itself.
    std::string Client(const boost::asio::ip::address& peer,
                       const std::vector<std::string>& forwardedFor,
                       const std::vector<std::string>& forwarded) const;

  private:
    struct Network {
        boost::asio::ip::address address;
        unsigned bits = 0;
    };
    std::vector<Network> networks_;
};

}  // namespace web
}  // namespace vrelay

#endif
