// SPDX-License-Identifier: MIT
// The parts of the sockets that are the same over every system's interface.
#include "transport/socket_system.h"

namespace vrelay {

bool ParseAddress(const std::string& text, int port, sockaddr_storage* address, SockLen* length) {
    *address = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        *length = sizeof(sockaddr_in);
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        *length = sizeof(sockaddr_in6);
        return true;
    }
    address->ss_family = AF_INET;
    *length = 0;
    return false;
}

int SocketServer::Port() const {
    sockaddr_storage address{};
    SockLen length = sizeof address;
    if (::getsockname(Native(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool SocketSelect::Readable(const Socket* socket) const {
    if (socket == nullptr) {
        return false;
    }
    if (socket->Handle() == first_) {
        return first_readable_;
    }
    if (socket->Handle() == second_) {
        return second_readable_;
    }
    return false;
}

}  // namespace vrelay
