// SPDX-License-Identifier: MIT
// The system's socket headers and types, for the socket implementations only
// (transport/socket.h itself carries no system types).
#ifndef VRELAY_TRANSPORT_SOCKET_SYSTEM_H
#define VRELAY_TRANSPORT_SOCKET_SYSTEM_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

#include "transport/socket.h"

namespace vrelay {

#ifdef _WIN32
using NativeSocket = SOCKET;
using SockLen = int;
#else
using NativeSocket = int;
using SockLen = socklen_t;
#endif

inline NativeSocket Native(SocketHandle handle) {
    return static_cast<NativeSocket>(handle);
}

// The socket address of an IPv4 or IPv6 address literal and a port. False
// for text that is no address literal: *address is then an empty IPv4 one.
bool ParseAddress(const std::string& text, int port, sockaddr_storage* address, SockLen* length);

}  // namespace vrelay

#endif
