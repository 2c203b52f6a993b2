// SPDX-License-Identifier: MIT
// The POSIX side of the sockets: the primitives of socket_system.h, the wake
// signal (an eventfd), gathered sends and the receive wait, over poll().
#include "transport/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

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

}  // namespace

// ---- The primitives of socket_system.h ----

int LastSocketError() {
    return errno;
}

std::string SocketErrorText(int error) {
    return std::strerror(error);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

NativeSocket OpenSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

void CloseSocket(NativeSocket socket) {
    ::close(socket);
}

void SetBlocking(NativeSocket socket, bool blocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

void SetNoDelay(NativeSocket socket) {
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void AllowAddressReuse(NativeSocket socket) {
    int one = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

// The connect runs non-blocking so that the wait is ours to bound; the time
// running out is ETIMEDOUT.
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

NativeSocket AcceptSocket(NativeSocket listener, int* error) {
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    *error = fd < 0 ? errno : 0;
    return fd;
}

int WaitReadable(NativeSocket first, NativeSocket second, int timeout_ms, bool* first_ready,
                 bool* second_ready) {
    const short readable = POLLIN | POLLHUP | POLLERR;
    pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    const nfds_t count = second != kInvalidNative ? 2 : 1;
    const int rc = PollRetrying(fds, count, timeout_ms);
    *first_ready = rc > 0 && (fds[0].revents & readable) != 0;
    *second_ready = rc > 0 && count == 2 && (fds[1].revents & readable) != 0;
    return rc;
}

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

void Socket::Start() {}
void Socket::End() {}

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

}  // namespace vrelay
