// SPDX-License-Identifier: MIT
// The system's socket headers and types, and the few primitives whose system
// calls differ, for the socket implementations only (transport/socket.h
// itself carries no system types). socket_common.cpp builds the sockets on
// these; socket.cpp (POSIX) and socket_win32.cpp (Winsock) define them, with
// the parts whose behaviour differs: the wake signal, sending, receiving.
#ifndef VRELAY_TRANSPORT_SOCKET_SYSTEM_H
#define VRELAY_TRANSPORT_SOCKET_SYSTEM_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

#include "transport/socket.h"

namespace vrelay {

#ifdef _WIN32
using NativeSocket = SOCKET;
using SockLen = int;
constexpr NativeSocket kInvalidNative = INVALID_SOCKET;
#else
using NativeSocket = int;
using SockLen = socklen_t;
constexpr NativeSocket kInvalidNative = -1;
#endif

inline NativeSocket Native(SocketHandle handle) {
    return static_cast<NativeSocket>(handle);
}

inline SocketHandle ToHandle(NativeSocket socket) {
    return socket == kInvalidNative ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

// The socket address of an IPv4 or IPv6 address literal and a port. False
// for text that is no address literal: *address is then an empty IPv4 one.
bool ParseAddress(const std::string& text, int port, sockaddr_storage* address, SockLen* length);

// ---- Defined by the platform file ----

// The error of the last failed socket call, and the system's text for one.
int LastSocketError();
std::string SocketErrorText(int error);
// The error of an operation that would have had to wait.
bool WouldBlock(int error);
// A new socket that child processes do not inherit; kInvalidNative on
// failure (LastSocketError says why).
NativeSocket OpenSocket(int family, int type, int protocol);
void CloseSocket(NativeSocket socket);
void SetBlocking(NativeSocket socket, bool blocking);
// A frame is written in one call; without Nagle it leaves at once instead of
// waiting for the acknowledgement of the previous one.
void SetNoDelay(NativeSocket socket);
// A listener may take a port over from connections still closing (POSIX);
// Winsock would let another program take it over, so nothing there.
void AllowAddressReuse(NativeSocket socket);
// Connects within timeout_ms; 0 or the system's error (a time-out error
// when the time ran out). The socket is blocking again afterwards.
int ConnectWithin(NativeSocket socket, const sockaddr* address, SockLen length, int timeout_ms);
// An accepted connection, blocking and not inherited; kInvalidNative with
// *error set when there is none.
NativeSocket AcceptSocket(NativeSocket listener, int* error);
// Waits until first or second (kInvalidNative for none) is readable, or has
// ended or failed; timeout_ms < 0 waits without limit. Negative when the wait
// failed, 0 on time-out, else positive with *first_ready and *second_ready
// set.
int WaitReadable(NativeSocket first, NativeSocket second, int timeout_ms, bool* first_ready,
                 bool* second_ready);

}  // namespace vrelay

#endif
