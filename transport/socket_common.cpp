// SPDX-License-Identifier: MIT
// The parts of the sockets that are the same over every system's interface,
// built on the primitives of socket_system.h.
#include <new>

#include "transport/log.h"
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

// ---- Socket ----

Socket::Socket() : handle_(kInvalidSocket) {
    Start();
    const NativeSocket s = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kInvalidNative) {
        error_ = SocketErrorText(LastSocketError());
        return;
    }
    handle_ = ToHandle(s);
}

Socket::Socket(SocketHandle handle) : handle_(handle) {
    Start();
}

Socket::~Socket() {
    Close();
}

void Socket::Close() {
    if (handle_ != kInvalidSocket) {
        CloseSocket(Native(handle_));
        handle_ = kInvalidSocket;
    }
}

int64_t Socket::SendBytes(const char* data, size_t length, bool more) {
    if (length == 0) {
        return 0;
    }
    const BytePiece piece{data, length};
    return SendWithin(&piece, 1, more) == length ? static_cast<int64_t>(length) : -1;
}

size_t Socket::SendPieces(const BytePiece* pieces, size_t count) {
    return SendWithin(pieces, count, false);
}

// ---- SocketClient ----

SocketClient::SocketClient(const std::string& host, int port, int timeout_ms)
    : Socket(kInvalidSocket) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(static_cast<uint16_t>(port));
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0 ||
        addresses == nullptr) {
        return;  // the name does not resolve: Error() stays empty
    }
    int last_error = 0;
    for (addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const NativeSocket s = OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kInvalidNative) {
            last_error = LastSocketError();
            continue;
        }
        last_error = ConnectWithin(s, a->ai_addr, static_cast<SockLen>(a->ai_addrlen), timeout_ms);
        if (last_error == 0) {
            SetNoDelay(s);
            handle_ = ToHandle(s);
            ::freeaddrinfo(addresses);
            return;
        }
        CloseSocket(s);
    }
    ::freeaddrinfo(addresses);
    error_ = SocketErrorText(last_error);
}

// ---- SocketServer ----

SocketServer::SocketServer(int port, int connections, TypeSocket type,
                           const std::string& bind_address)
    : Socket(kInvalidSocket) {
    sockaddr_storage address;
    SockLen address_length;
    // Text that is no address literal fails below as a bind would.
    const bool valid = ParseAddress(bind_address, port, &address, &address_length);

    const NativeSocket s = OpenSocket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == kInvalidNative) {
        error_ = SocketErrorText(LastSocketError());
        VR_LOG(logERROR) << "vrelay socket cannot be created: " << error_;
        return;
    }
    handle_ = ToHandle(s);
    AllowAddressReuse(s);
    if (type == PollingSelect) {
        SetBlocking(s, false);
    }
    if (!valid || ::bind(s, reinterpret_cast<sockaddr*>(&address), address_length) != 0) {
        error_ = valid ? SocketErrorText(LastSocketError()) : "not an address: " + bind_address;
        Close();
        VR_LOG(logERROR) << "vrelay socket failed to bind to port " << port << ": " << error_;
        return;
    }
    if (::listen(s, connections) != 0) {
        error_ = SocketErrorText(LastSocketError());
        Close();
        VR_LOG(logERROR) << "vrelay socket failed to listen on port " << port << ": " << error_;
    }
}

Socket* SocketServer::Accept(bool* failed) {
    if (failed != nullptr) {
        *failed = false;
    }
    int error = 0;
    const NativeSocket s = AcceptSocket(Native(handle_), &error);
    if (s == kInvalidNative) {
        if (!WouldBlock(error) && failed != nullptr) {
            *failed = true;
        }
        return nullptr;
    }
    SetNoDelay(s);
    auto* accepted = new (std::nothrow) Socket(ToHandle(s));
    if (accepted == nullptr) {
        CloseSocket(s);
        if (failed != nullptr) {
            *failed = true;
        }
    }
    return accepted;
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

// ---- SocketSelect ----

SocketSelect::SocketSelect(const Socket* first, const Socket* second, TypeSocket type)
    : first_(first->Handle()),
      second_(second != nullptr && second->Handle() != first->Handle() ? second->Handle()
                                                                       : kInvalidSocket) {
    if (WaitReadable(Native(first_), second_ != kInvalidSocket ? Native(second_) : kInvalidNative,
                     type == PollingSelect ? 0 : -1, &first_readable_, &second_readable_) < 0) {
        failed_ = true;
    }
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

int recv_to(SocketHandle handle, char* buffer, int length, int flags, int timeout_ms) {
    bool ready = false;
    bool unused = false;
    const int rc = WaitReadable(Native(handle), kInvalidNative, timeout_ms < 0 ? 0 : timeout_ms,
                                &ready, &unused);
    if (rc < 0) {
        return -1;
    }
    if (rc == 0 || !ready) {
        return -2;
    }
    return static_cast<int>(::recv(Native(handle), buffer, length, flags));
}

}  // namespace vrelay
