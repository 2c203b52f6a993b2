// SPDX-License-Identifier: MIT
// TCP sockets over the operating system's socket interface. The interface
// carries no system types: a socket is a SocketHandle of ours.
//
// Nothing here throws: a constructor that fails leaves its object closed
// (IsOpen() false) with the reason in Error(), and the other operations
// report failure by their results.
#ifndef VRELAY_TRANSPORT_SOCKET_H
#define VRELAY_TRANSPORT_SOCKET_H

#include <cstdint>
#include <string>

#include "transport/byte_io.h"

namespace vrelay {

using SocketHandle = int64_t;
constexpr SocketHandle kInvalidSocket = -1;

enum TypeSocket { WaitingSelect = 0, PollingSelect = 1 };

// A wake-up signal that a thread can raise to end another thread's wait in
// Socket::ReceiveBytes, or a send's wait for room, early. Level-triggered:
// stays raised until Clear(). It holds a descriptor; when none can be had,
// Valid() is false and the signal does nothing (a wait then ends only by data
// or its time limit).
class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    bool Valid() const { return read_end_ != kInvalidSocket; }
    void Raise();
    void Clear();
    bool IsRaised() const;
    SocketHandle Handle() const;  // readable while raised

  private:
    SocketHandle read_end_;
    SocketHandle write_end_;
};

class Socket : public ByteSink, public ByteSource {
  public:
    // A new IPv4 stream socket; closed when none can be made.
    Socket();
    // Takes ownership of an open handle.
    explicit Socket(SocketHandle handle);
    ~Socket() override;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Process-wide start-up and shut-down of the socket library (no-ops here,
    // kept for platforms that need them).
    static void Start();
    static void End();

    // Closes the handle; the destructor then does nothing. Idempotent.
    void Close();
    bool IsOpen() const { return handle_ != kInvalidSocket; }
    // Why the constructor failed; empty when it did not.
    const std::string& Error() const { return error_; }
    // False when an error condition is pending on the socket.
    bool IsAlive();
    SocketHandle Handle() const { return handle_; }

    // Sends all bytes; length, 0 for length 0 (nothing sent), -1 on failure.
    // A send that finds no room in the stream waits for it, for at most the
    // send limit (SetSendLimit) and until the wake signal (SetWakeSignal) is
    // raised: either ends the send as failed, with what was sent so far in the
    // stream. Bytes that find room go out whether the signal is raised or not.
    int64_t SendBytes(const char* data, size_t length, bool more = false) override;
    // The same for a run of pieces, gathered into as few system calls as the
    // stream takes; the send limit covers the whole run.
    size_t SendPieces(const BytePiece* pieces, size_t count) override;

    // Reads what is pending, up to max bytes. With nothing pending waits for
    // data, for at most the receive limit (SetReceiveLimit) and until the
    // wake signal (SetWakeSignal) is raised: either ends the wait with true
    // and *received 0. False with *received 0 when the peer closed the stream
    // or the read failed (logs "vrelay socket closed, cannot receive bytes"
    // only when the socket is closed or no socket).
    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override;

    // Longest wait of one ReceiveBytes for its first byte; negative: no limit
    // (the default).
    void SetReceiveLimit(int milliseconds) { receive_limit_ms_ = milliseconds; }
    // Longest wait of one SendBytes or SendPieces for the peer to take its
    // bytes; negative (the default): the socket's own send timeout
    // (SO_SNDTIMEO) if one is set, as for a blocking send, else no limit.
    // Logs "vrelay send timed out after N ms" when it passes.
    void SetSendLimit(int milliseconds) { send_limit_ms_ = milliseconds; }
    // A signal that ends a waiting ReceiveBytes or send; not owned; null for
    // none.
    void SetWakeSignal(const WakeSignal* signal) { wake_ = signal; }

  protected:
    SocketHandle handle_;
    std::string error_;

  private:
    // Sends the pieces within the send limit; more: MSG_MORE-style hint that
    // the frame goes on after them. Returns the bytes sent.
    size_t SendWithin(const BytePiece* pieces, size_t count, bool more);

    int receive_limit_ms_ = -1;
    int send_limit_ms_ = -1;
    const WakeSignal* wake_ = nullptr;
    bool last_read_filled_ = false;  // the last ReceiveBytes took all it was allowed
};

// The client's stream: resolves host (name or address; IPv4 and IPv6
// addresses are tried in turn) and connects to port. Sets TCP_NODELAY.
// Each address gets at most timeout_ms to accept the connection, so a server
// that no longer accepts cannot hold the caller for minutes. On failure the
// socket is closed and Error() says why ("" when the name does not resolve).
class SocketClient : public Socket {
  public:
    static constexpr int kDefaultConnectTimeoutMs = 10000;
    SocketClient(const std::string& host, int port, int timeout_ms = kDefaultConnectTimeoutMs);
};

// A listening socket. Port 0 picks a free port (see Port()). bind_address
// defaults to every local IPv4 address. When the socket cannot be made, bound
// or put to listening, it is closed and Error() holds the system's reason.
class SocketServer : public Socket {
  public:
    SocketServer(int port, int connections, TypeSocket type,
                 const std::string& bind_address = "0.0.0.0");
    // An accepted connection, owned by the caller; null when a polling server
    // has none pending or the accept failed (then *failed is set, if given).
    Socket* Accept(bool* failed = nullptr);
    // The port actually bound.
    int Port() const;
};

// Readiness of one or two sockets: waits (WaitingSelect) or polls once
// (PollingSelect). When the wait fails, nothing is readable and Failed() is
// true.
class SocketSelect {
  public:
    SocketSelect(const Socket* first, const Socket* second, TypeSocket type);
    bool Readable(const Socket* socket) const;
    bool Failed() const { return failed_; }

  private:
    SocketHandle first_;
    SocketHandle second_;
    bool first_readable_ = false;
    bool second_readable_ = false;
    bool failed_ = false;
};

// Timed receive: -1 when the wait failed, -2 on time-out, else recv's result.
int recv_to(SocketHandle handle, char* buffer, int length, int flags, int timeout_ms);

}  // namespace vrelay

#endif
