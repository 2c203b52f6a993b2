// SPDX-License-Identifier: MIT
#include "transport/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "transport/log.h"
#include "transport/socket_system.h"

namespace vrelay {

namespace {

using Clock = std::chrono::steady_clock;

int Fd(SocketHandle handle) {
    return static_cast<int>(handle);
}

void CloseHandle(SocketHandle& handle) {
    if (handle != kInvalidSocket) {
        ::close(Fd(handle));
        handle = kInvalidSocket;
    }
}

void SetNoDelay(int fd) {
    // A frame is written in one call; without Nagle it leaves at once
    // instead of waiting for the acknowledgement of the previous one.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// poll() that resumes after signals with the time still left.
int PollRetrying(pollfd* fds, nfds_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int rc = ::poll(fds, count, timeout_ms);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
        if (timeout_ms > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

// Waits until fd has room for more bytes (or an error that the next send
// reports), the wake signal is raised, or limit_ms since start have passed.
// With a negative limit the socket's own send timeout (SO_SNDTIMEO) bounds
// the wait, as it would a blocking send; without one there is no bound.
// True for room: room goes before the wake signal.
bool WaitForRoom(int fd, const WakeSignal* wake, int limit_ms, Clock::time_point start) {
    if (limit_ms < 0) {
        timeval own{};
        socklen_t size = sizeof own;
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &own, &size) == 0 &&
            (own.tv_sec > 0 || own.tv_usec > 0)) {
            limit_ms = static_cast<int>(std::min<int64_t>(
                INT32_MAX, int64_t{own.tv_sec} * 1000 + (own.tv_usec + 999) / 1000));
        }
    }
    const auto deadline = start + std::chrono::milliseconds(std::max(limit_ms, 0));
    pollfd fds[2] = {{fd, POLLOUT, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (wake != nullptr && wake->Valid()) {
        fds[1].fd = Fd(wake->Handle());
        count = 2;
    }
    int timeout_ms = -1;
    if (limit_ms >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        timeout_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    VR_LOG(logDEBUG) << "vrelay send waits for the peer to take its bytes";
    const int rc = PollRetrying(fds, count, timeout_ms);
    if (rc < 0) {
        return false;
    }
    if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return true;
    }
    if (rc == 0) {
        VR_LOG(logWARNING) << "vrelay send timed out after " << limit_ms << "ms";
    }
    return false;
}

// Connects fd to address within timeout_ms; returns 0 or the errno value
// (ETIMEDOUT when the time ran out). The connect runs non-blocking so that
// the wait is ours to bound; the socket is blocking again afterwards.
int ConnectWithin(int fd, const sockaddr* address, socklen_t length, int timeout_ms) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    int error = 0;
    if (::connect(fd, address, length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            return errno;
        }
        pollfd p{fd, POLLOUT, 0};
        const int rc = PollRetrying(&p, 1, timeout_ms);
        if (rc < 0) {
            return errno;
        }
        if (rc == 0) {
            return ETIMEDOUT;
        }
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            return errno;
        }
    }
    if (error == 0 && ::fcntl(fd, F_SETFL, flags) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

// ---- WakeSignal ----

WakeSignal::WakeSignal() : read_end_(kInvalidSocket), write_end_(kInvalidSocket) {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0) {
        read_end_ = write_end_ = fd;
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;  // no descriptor left: an invalid signal that does nothing
    }
    read_end_ = fds[0];
    write_end_ = fds[1];
}

WakeSignal::~WakeSignal() {
    if (write_end_ != read_end_) {
        CloseHandle(write_end_);
    }
    CloseHandle(read_end_);
}

void WakeSignal::Raise() {
    if (!Valid() || IsRaised()) {
        return;  // Level-triggered: once readable, more writes add nothing.
    }
    if (write_end_ == read_end_) {
        uint64_t one = 1;
        ssize_t rc = ::write(Fd(write_end_), &one, sizeof one);
        (void)rc;  // EAGAIN means the counter is already non-zero: raised.
    } else {
        char byte = 1;
        ssize_t rc = ::write(Fd(write_end_), &byte, 1);
        (void)rc;  // A full pipe is raised already.
    }
}

void WakeSignal::Clear() {
    if (!Valid()) {
        return;
    }
    char buffer[64];
    // Non-blocking: read until the eventfd counter or the pipe is empty.
    while (::read(Fd(read_end_), buffer, sizeof buffer) > 0) {
    }
}

bool WakeSignal::IsRaised() const {
    if (!Valid()) {
        return false;
    }
    pollfd p{Fd(read_end_), POLLIN, 0};
    return PollRetrying(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

SocketHandle WakeSignal::Handle() const {
    return read_end_;
}

// ---- Socket ----

Socket::Socket() : handle_(kInvalidSocket) {
    Start();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    handle_ = fd;
}

Socket::Socket(SocketHandle handle) : handle_(handle) {
    Start();
}

Socket::~Socket() {
    Close();
}

void Socket::Start() {}
void Socket::End() {}

void Socket::Close() {
    CloseHandle(handle_);
}

bool Socket::IsAlive() {
    if (handle_ == kInvalidSocket) {
        return false;
    }
    // Error and hang-up conditions are reported whatever events are asked for.
    pollfd p{Fd(handle_), 0, 0};
    int rc = PollRetrying(&p, 1, 0);
    if (rc < 0) {
        return false;
    }
    return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
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

size_t Socket::SendWithin(const BytePiece* pieces, size_t count, bool more) {
    const auto start = Clock::now();
    constexpr size_t kMaxPieces = 8;
    size_t sent = 0;
    for (size_t first = 0; first < count; first += kMaxPieces) {
        const size_t batch = std::min(kMaxPieces, count - first);
        iovec vectors[kMaxPieces];
        size_t left = 0;
        for (size_t i = 0; i < batch; ++i) {
            vectors[i].iov_base = const_cast<char*>(pieces[first + i].data);
            vectors[i].iov_len = pieces[first + i].size;
            left += pieces[first + i].size;
        }
        // MSG_NOSIGNAL: a peer that went away must give an error, not SIGPIPE.
        // MSG_DONTWAIT: a full stream is waited for below, where the wait can
        // be bounded and woken.
        const int flags =
            MSG_NOSIGNAL | MSG_DONTWAIT | (more || first + batch < count ? MSG_MORE : 0);
        iovec* next = vectors;
        size_t remaining = batch;
        while (left > 0) {
            msghdr message{};
            message.msg_iov = next;
            message.msg_iovlen = remaining;
            const ssize_t rc = ::sendmsg(Fd(handle_), &message, flags);
            if (rc < 0) {
                if (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) &&
                                       WaitForRoom(Fd(handle_), wake_, send_limit_ms_, start))) {
                    continue;
                }
                return sent;
            }
            // A partial send: skip what went out and go on from there.
            size_t done = static_cast<size_t>(rc);
            sent += done;
            left -= done;
            while (remaining > 0 && done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --remaining;
            }
            if (remaining > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + done;
                next->iov_len -= done;
            }
        }
    }
    return sent;
}

bool Socket::ReceiveBytes(char* buffer, size_t max, size_t* received) {
    *received = 0;
    if (handle_ == kInvalidSocket) {
        VR_LOG(logERROR) << "vrelay socket closed, cannot receive bytes";
        return false;
    }
    if (max == 0) {
        return true;
    }
    pollfd fds[2];
    nfds_t count = 1;
    fds[0] = pollfd{Fd(handle_), POLLIN, 0};
    if (wake_ != nullptr && wake_->Valid()) {
        fds[1] = pollfd{Fd(wake_->Handle()), POLLIN, 0};
        count = 2;
    }
    // A read that filled the caller's buffer suggests more is pending: read
    // at once. Otherwise (an answer awaited) wait first, so that neither case
    // pays for a read that finds nothing.
    bool wait = !last_read_filled_;
    last_read_filled_ = false;
    for (bool waited = false;;) {
        if (wait) {
            // Wait for data, the wake signal or the limit.
            const int rc =
                PollRetrying(fds, count, receive_limit_ms_ >= 0 ? receive_limit_ms_ : -1);
            if (rc < 0) {
                return false;
            }
            if ((fds[0].revents & POLLNVAL) != 0) {
                return false;
            }
            // Data (or the end of the stream) goes before the wake signal.
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                return true;  // woken, or the limit passed: let the caller look at its flags
            }
            waited = true;
        }
        const ssize_t n = ::recv(Fd(handle_), buffer, max, MSG_DONTWAIT);
        if (n > 0) {
            *received = static_cast<size_t>(n);
            last_read_filled_ = *received == max;
            return true;
        }
        if (n < 0 && errno == EINTR) {
            wait = false;
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (n < 0 && (errno == EBADF || errno == ENOTSOCK)) {
                VR_LOG(logERROR) << "vrelay socket closed, cannot receive bytes";
            }
            return false;  // 0: peer closed; or an error.
        }
        if (waited) {
            return true;  // readiness that brought nothing: let the caller look again
        }
        wait = true;
    }
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
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        int error = ConnectWithin(fd, a->ai_addr, a->ai_addrlen, timeout_ms);
        if (error == 0) {
            SetNoDelay(fd);
            handle_ = fd;
            ::freeaddrinfo(addresses);
            return;
        }
        last_error = error;
        ::close(fd);
    }
    ::freeaddrinfo(addresses);
    error_ = std::strerror(last_error);
}

// ---- SocketServer ----

SocketServer::SocketServer(int port, int connections, TypeSocket type,
                           const std::string& bind_address)
    : Socket(kInvalidSocket) {
    sockaddr_storage address;
    SockLen address_length;
    // Text that is no address literal fails below as a bind would.
    const bool valid = ParseAddress(bind_address, port, &address, &address_length);

    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::strerror(errno);
        VR_LOG(logERROR) << "vrelay socket cannot be created: " << error_;
        return;
    }
    handle_ = fd;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (type == PollingSelect) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    if (!valid || ::bind(fd, reinterpret_cast<sockaddr*>(&address), address_length) != 0) {
        error_ = valid ? std::strerror(errno) : "not an address: " + bind_address;
        Close();
        VR_LOG(logERROR) << "vrelay socket failed to bind to port " << port << ": " << error_;
        return;
    }
    if (::listen(fd, connections) != 0) {
        error_ = std::strerror(errno);
        Close();
        VR_LOG(logERROR) << "vrelay socket failed to listen on port " << port << ": " << error_;
    }
}

Socket* SocketServer::Accept(bool* failed) {
    if (failed != nullptr) {
        *failed = false;
    }
    int fd;
    do {
        fd = ::accept4(Fd(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && failed != nullptr) {
            *failed = true;
        }
        return nullptr;
    }
    SetNoDelay(fd);
    auto* accepted = new (std::nothrow) Socket(static_cast<SocketHandle>(fd));
    if (accepted == nullptr) {
        ::close(fd);
        if (failed != nullptr) {
            *failed = true;
        }
    }
    return accepted;
}

// ---- SocketSelect ----

SocketSelect::SocketSelect(const Socket* first, const Socket* second, TypeSocket type)
    : first_(first->Handle()),
      second_(second != nullptr && second->Handle() != first->Handle() ? second->Handle()
                                                                       : kInvalidSocket) {
    const short readable = POLLIN | POLLHUP | POLLERR;
    pollfd fds[2] = {{Fd(first_), POLLIN, 0}, {Fd(second_), POLLIN, 0}};
    nfds_t count = second_ != kInvalidSocket ? 2 : 1;
    int rc = PollRetrying(fds, count, type == PollingSelect ? 0 : -1);
    if (rc < 0) {
        failed_ = true;
        return;
    }
    first_readable_ = (fds[0].revents & readable) != 0;
    second_readable_ = count == 2 && (fds[1].revents & readable) != 0;
}

int recv_to(SocketHandle handle, char* buffer, int length, int flags, int timeout_ms) {
    pollfd p{Fd(handle), POLLIN, 0};
    int rc = PollRetrying(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (rc < 0) {
        return -1;
    }
    if (rc == 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return -2;
    }
    return static_cast<int>(::recv(Fd(handle), buffer, static_cast<size_t>(length), flags));
}

}  // namespace vrelay
