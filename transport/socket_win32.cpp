// SPDX-License-Identifier: MIT
// The Winsock side of the sockets: the primitives of socket_system.h, the
// wake signal (a loopback socket pair), sends and the receive wait, over
// select().
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <string>

#include "transport/log.h"
#include "transport/socket.h"
#include "transport/socket_system.h"

namespace vrelay {

namespace {

SOCKET Sock(SocketHandle handle) {
    return static_cast<SOCKET>(handle);
}

void CloseHandle(SocketHandle& handle) {
    if (handle != kInvalidSocket) {
        ::closesocket(Sock(handle));
        handle = kInvalidSocket;
    }
}

// Sockets are inherited by child processes unless told otherwise.
void SetNotInherited(SOCKET s) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// select() on up to two sockets for reading; timeout_ms < 0 waits without
// limit. Returns select's result; *_ready tell which became readable.
int SelectReadable(SOCKET first, SOCKET second, int timeout_ms, bool* first_ready,
                   bool* second_ready) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(first, &readable);
    if (second != INVALID_SOCKET) {
        FD_SET(second, &readable);
    }
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int rc = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    *first_ready = rc > 0 && FD_ISSET(first, &readable);
    if (second_ready != nullptr) {
        *second_ready = rc > 0 && second != INVALID_SOCKET && FD_ISSET(second, &readable);
    }
    return rc;
}

// Waits until s has room for more bytes (or an error that the next send
// reports), the wake signal is raised, or limit_ms since start have passed.
// With a negative limit the socket's own send timeout (SO_SNDTIMEO) bounds
// the wait, as it would a blocking send; without one there is no bound.
// True for room: room goes before the wake signal.
bool WaitForRoom(SOCKET s, const WakeSignal* wake, int limit_ms, DWORD start) {
    if (limit_ms < 0) {
        DWORD own = 0;
        int size = sizeof own;
        if (::getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&own), &size) == 0 &&
            own > 0) {
            limit_ms = static_cast<int>(std::min<DWORD>(own, INT_MAX));
        }
    }
    fd_set writable;
    fd_set failed;
    fd_set readable;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&readable);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const bool wakeable = wake != nullptr && wake->Valid();
    if (wakeable) {
        FD_SET(Sock(wake->Handle()), &readable);
    }
    timeval limit{0, 0};
    if (limit_ms >= 0) {
        const DWORD elapsed = ::GetTickCount() - start;
        const int left =
            elapsed < static_cast<DWORD>(limit_ms) ? limit_ms - static_cast<int>(elapsed) : 0;
        limit = timeval{left / 1000, (left % 1000) * 1000};
    }
    VR_LOG(logDEBUG) << "vrelay send waits for the peer to take its bytes";
    const int rc = ::select(0, wakeable ? &readable : nullptr, &writable, &failed,
                            limit_ms < 0 ? nullptr : &limit);
    if (rc == SOCKET_ERROR) {
        return false;
    }
    if (FD_ISSET(s, &writable) || FD_ISSET(s, &failed)) {
        return true;
    }
    if (rc == 0) {
        VR_LOG(logWARNING) << "vrelay send timed out after " << limit_ms << "ms";
    }
    return false;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// A connected pair of loopback sockets: Winsock waits only on sockets, so a
// wake-up is a byte on a socket. False when the pair cannot be made.
bool MakeSocketPair(SOCKET* read_end, SOCKET* write_end) {
    SOCKET listener = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    SOCKET writer = INVALID_SOCKET;
    SOCKET reader = INVALID_SOCKET;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        ::listen(listener, 1) == 0) {
        writer = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (writer != INVALID_SOCKET &&
            ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            reader = ::accept(listener, nullptr, nullptr);
        }
    }
    ::closesocket(listener);
    // Another local program could have connected first: the accepted peer
    // must be our own writer.
    sockaddr_in writer_address{};
    sockaddr_in peer{};
    int writer_length = sizeof writer_address;
    int peer_length = sizeof peer;
    if (reader == INVALID_SOCKET ||
        ::getsockname(writer, reinterpret_cast<sockaddr*>(&writer_address), &writer_length) != 0 ||
        ::getpeername(reader, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 ||
        !SameAddress(writer_address, peer)) {
        if (reader != INVALID_SOCKET) {
            ::closesocket(reader);
        }
        if (writer != INVALID_SOCKET) {
            ::closesocket(writer);
        }
        return false;
    }
    SetNotInherited(reader);
    SetBlocking(reader, false);
    SetBlocking(writer, false);
    SetNoDelay(writer);
    *read_end = reader;
    *write_end = writer;
    return true;
}

}  // namespace

// ---- The primitives of socket_system.h ----

int LastSocketError() {
    return ::WSAGetLastError();
}

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

SOCKET OpenSocket(int family, int type, int protocol) {
    SOCKET s = ::socket(family, type, protocol);
    if (s != INVALID_SOCKET) {
        SetNotInherited(s);
    }
    return s;
}

void CloseSocket(SOCKET socket) {
    ::closesocket(socket);
}

void SetBlocking(SOCKET s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    ::ioctlsocket(s, FIONBIO, &nonblocking);
}

void SetNoDelay(SOCKET s) {
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void AllowAddressReuse(SOCKET) {}

SOCKET AcceptSocket(SOCKET listener, int* error) {
    SOCKET s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        *error = ::WSAGetLastError();
        return s;
    }
    *error = 0;
    // An accepted socket inherits the listener's non-blocking mode here.
    SetBlocking(s, true);
    SetNotInherited(s);
    return s;
}

int WaitReadable(SOCKET first, SOCKET second, int timeout_ms, bool* first_ready,
                 bool* second_ready) {
    return SelectReadable(first, second, timeout_ms, first_ready, second_ready);
}

// The connect runs non-blocking so that the wait is ours to bound; the time
// running out is WSAETIMEDOUT.
int ConnectWithin(SOCKET s, const sockaddr* address, int length, int timeout_ms) {
    SetBlocking(s, false);
    int error = 0;
    if (::connect(s, address, length) != 0) {
        error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return error;
        }
        // Winsock reports a refused connect as an exception, not as writable.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        const int rc = ::select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
        if (rc == SOCKET_ERROR) {
            return ::WSAGetLastError();
        }
        if (rc == 0) {
            return WSAETIMEDOUT;
        }
        int size = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
            return ::WSAGetLastError();
        }
    }
    if (error == 0) {
        SetBlocking(s, true);
    }
    return error;
}

std::string SocketErrorText(int error) {
    char* text = nullptr;
    DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text != nullptr ? std::string(text, length)
                                                       : "error " + std::to_string(error);
    ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

// ---- WakeSignal ----

WakeSignal::WakeSignal() : read_end_(kInvalidSocket), write_end_(kInvalidSocket) {
    Socket::Start();
    SOCKET reader;
    SOCKET writer;
    if (!MakeSocketPair(&reader, &writer)) {
        return;  // no sockets left: an invalid signal that does nothing
    }
    read_end_ = ToHandle(reader);
    write_end_ = ToHandle(writer);
}

WakeSignal::~WakeSignal() {
    CloseHandle(write_end_);
    CloseHandle(read_end_);
}

void WakeSignal::Raise() {
    if (!Valid() || IsRaised()) {
        return;  // Level-triggered: once readable, more bytes add nothing.
    }
    const char byte = 1;
    // Non-blocking: a full buffer means the signal is raised already.
    ::send(Sock(write_end_), &byte, 1, 0);
}

void WakeSignal::Clear() {
    if (!Valid()) {
        return;
    }
    char buffer[64];
    // Non-blocking: read until nothing is left.
    while (::recv(Sock(read_end_), buffer, sizeof buffer, 0) > 0) {
    }
}

bool WakeSignal::IsRaised() const {
    if (!Valid()) {
        return false;
    }
    bool ready = false;
    return SelectReadable(Sock(read_end_), INVALID_SOCKET, 0, &ready, nullptr) > 0 && ready;
}

SocketHandle WakeSignal::Handle() const {
    return read_end_;
}

// ---- Socket ----

// Winsock is started once, on first use, and left running: stopping it while
// another thread still has sockets would break them, and the system releases
// it when the process ends.
void Socket::Start() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;  // a failed start shows as failing sockets
}

void Socket::End() {}

bool Socket::IsAlive() {
    if (handle_ == kInvalidSocket) {
        return false;
    }
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(Sock(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
        0) {
        return false;
    }
    return error == 0;
}

size_t Socket::SendWithin(const BytePiece* pieces, size_t count, bool /*more*/) {
    const DWORD start = ::GetTickCount();
    // Non-blocking, so that a full stream is waited for below, where the wait
    // can be bounded and woken. Receives wait in select() first, so they do
    // not mind the mode.
    SetBlocking(Sock(handle_), false);
    size_t sent = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t at = 0;
        while (at < pieces[i].size) {
            const int chunk = static_cast<int>(std::min<size_t>(pieces[i].size - at, INT_MAX));
            const int rc = ::send(Sock(handle_), pieces[i].data + at, chunk, 0);
            if (rc == SOCKET_ERROR) {
                if (::WSAGetLastError() == WSAEWOULDBLOCK &&
                    WaitForRoom(Sock(handle_), wake_, send_limit_ms_, start)) {
                    continue;
                }
                return sent;
            }
            at += static_cast<size_t>(rc);
            sent += static_cast<size_t>(rc);
        }
    }
    return sent;
}

bool Socket::ReceiveBytes(char* buffer, size_t max, size_t* received) {
    *received = 0;
    u_long pending = 0;
    if (handle_ == kInvalidSocket || ::ioctlsocket(Sock(handle_), FIONREAD, &pending) != 0) {
        VR_LOG(logERROR) << "vrelay socket closed, cannot receive bytes";
        return false;
    }
    if (max == 0) {
        return true;
    }
    if (pending == 0) {
        // Nothing pending: wait for the first byte, the wake signal or the limit.
        const SOCKET wake =
            wake_ != nullptr && wake_->Valid() ? Sock(wake_->Handle()) : INVALID_SOCKET;
        bool readable = false;
        bool woken = false;
        int rc = SelectReadable(Sock(handle_), wake, receive_limit_ms_, &readable, &woken);
        if (rc == SOCKET_ERROR) {
            return false;
        }
        if (rc == 0 || woken) {
            return true;  // limit passed, or woken: let the caller look at its flags
        }
        // Readable with nothing pending is the end of the stream or an error,
        // which the one-byte read below reports without blocking.
        max = 1;
    } else {
        max = std::min<size_t>(pending, max);
    }
    int rc = ::recv(Sock(handle_), buffer, static_cast<int>(std::min<size_t>(max, INT_MAX)), 0);
    if (rc <= 0) {
        return false;  // 0: the peer closed; or an error. Not logged.
    }
    *received = static_cast<size_t>(rc);
    return true;
}

}  // namespace vrelay
