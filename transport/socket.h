// TCP sockets over the operating system's socket interface. The interface
// carries no system types: a socket is a SocketHandle of ours.
//
// Errors of the constructors are exceptions of two kinds:
//   const char*  "INVALID_SOCKET" (socket cannot be created, or bind failed),
//                "Invalid Socket" (accept failed), "Error in select";
//   std::string  SocketClient only: empty text when the host name does not
//                resolve, else the system's text for the connect error.
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
// Socket::ReceiveBytes early. Level-triggered: stays raised until Clear().
class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

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
    // A new IPv4 stream socket. Throws "INVALID_SOCKET" if it cannot be made.
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
    // False when an error condition is pending on the socket.
    bool IsAlive();
    SocketHandle Handle() const { return handle_; }

    // Sends all bytes; length, 0 for length 0 (nothing sent), -1 on failure.
    int64_t SendBytes(const char* data, size_t length, bool more = false) override;

    // Reads what is pending, up to max bytes. With nothing pending waits for
    // one byte, for at most the receive limit (SetReceiveLimit) and until the
    // wake signal (SetWakeSignal) is raised: either ends the wait with true
    // and *received 0. False with *received 0 when the peer closed the stream
    // or the read failed (logs "vrelay socket closed, cannot receive bytes"
    // only when the pending count cannot be read).
    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override;

    // Longest wait of one ReceiveBytes for its first byte; negative: no limit
    // (the default).
    void SetReceiveLimit(int milliseconds) { receive_limit_ms_ = milliseconds; }
    // A signal that ends a waiting ReceiveBytes; not owned; null for none.
    void SetWakeSignal(const WakeSignal* signal) { wake_ = signal; }

  protected:
    SocketHandle handle_;

  private:
    int receive_limit_ms_ = -1;
    const WakeSignal* wake_ = nullptr;
};

// The client's stream: resolves host (name or address; IPv4 and IPv6
// addresses are tried in turn) and connects to port. Sets TCP_NODELAY.
class SocketClient : public Socket {
  public:
    SocketClient(const std::string& host, int port);
};

// A listening socket. Port 0 picks a free port (see Port()). bind_address
// defaults to every local IPv4 address.
class SocketServer : public Socket {
  public:
    SocketServer(int port, int connections, TypeSocket type,
                 const std::string& bind_address = "0.0.0.0");
    // An accepted connection, owned by the caller; null when a polling server
    // has none pending. Throws "Invalid Socket" on failure.
    Socket* Accept();
    // The port actually bound.
    int Port() const;
};

// Readiness of one or two sockets: waits (WaitingSelect) or polls once
// (PollingSelect). Throws "Error in select" on failure.
class SocketSelect {
  public:
    SocketSelect(const Socket* first, const Socket* second, TypeSocket type);
    bool Readable(const Socket* socket) const;

  private:
    SocketHandle first_;
    SocketHandle second_;
    bool first_readable_ = false;
    bool second_readable_ = false;
};

// Timed receive: -1 when the wait failed, -2 on time-out, else recv's result.
int recv_to(SocketHandle handle, char* buffer, int length, int flags, int timeout_ms);

}  // namespace vrelay

#endif
