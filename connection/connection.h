// SPDX-License-Identifier: MIT
// One conversation with the speech server and the requests made on it: the
// TCP stream, the lock a request holds, the request's owner (RequestState),
// the receive loop that reads answers and hands them to a packet sink (the
// application's, unless a request names its own), and the text path that
// sends text.
//
// Threads: whoever runs a request holds the connection's lock for the whole
// request; the receive loop, the text path's callbacks and the sink all run
// on that thread. Stopping a request (RequestState::Stop) works from any
// thread.
#ifndef VRELAY_CONNECTION_CONNECTION_H
#define VRELAY_CONNECTION_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "connection/request_state.h"
#include "connection/text_path.h"
#include "platform/lock.h"
#include "transport/socket.h"
#include "wire/frame.h"
#include "wire/payload.h"

namespace vrelay {

// Where the receive loop hands the packets of an answer, on the thread that
// runs the request. Returning false stops the request (the rest of the
// answer is not read).
class PacketSink {
  public:
    // A packet as it came (type: a wire::PacketType; the payload stays valid
    // until the call returns), or, with no payload, the completion event of
    // an asynchronous request (wire::kRequestDone; the result is not used).
    virtual bool Deliver(uint16_t type, const unsigned char* data, uint32_t length) = 0;
    // A phoneme record, decoded (its names point into the payload).
    virtual bool DeliverPhoneme(const wire::Phoneme& phoneme) = 0;

  protected:
    ~PacketSink() = default;
};

class Connection : private TextSink {
  public:
    static constexpr int kDefaultPacketTimeoutMs = 60000;
    static constexpr size_t kMaxTextPerPacket = 63999;

    // Answers go to application (not owned; it must outlive the connection).
    explicit Connection(PacketSink& application);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Held by whoever runs a request, for the whole request (the sink runs
    // under it). Recursive for its owner.
    RecursiveLock& Lock() RETURN_CAPABILITY(lock_) { return lock_; }
    // True on the thread that runs a request here, that is inside one of
    // its callbacks: a call that would start, end or wait for a request
    // there can never go on, since that request cannot end while the
    // callback runs.
    bool InsideOwnRequest() const { return lock_.HeldByCurrentThread(); }
    RequestState& Request() { return request_; }

    // Opens the stream to host:port; records both first, even if it fails.
    // False when the name does not resolve, no descriptor is free, or the
    // connect fails or takes longer than SocketClient's connect time limit;
    // an open stream then stays as it was. On success an already open stream
    // is closed and replaced, and no text stream is open any more.
    bool Connect(const char* host, int port) REQUIRES(lock_);
    // Connect again to the address recorded by the last Connect.
    bool Reconnect() REQUIRES(lock_);
    // Closes and drops the stream. False if there was none.
    bool Close() REQUIRES(lock_);
    // PACKET_CLOSE, then Close. False when either failed; the stream is
    // dropped all the same.
    bool CloseStream() REQUIRES(lock_);
    bool IsConnected() const REQUIRES(lock_) { return socket_ != nullptr; }

#ifdef VRELAY_TEST_HOOKS
    // The longest one packet may take: to arrive whole in WaitForEndPacket
    // (counted from the request's last send or the previous packet, the
    // sink's time left out), or to be taken by the server when sent;
    // negative: no limit. kDefaultPacketTimeoutMs unless set.
    void SetPacketTimeout(int milliseconds) {
        packet_timeout_.store(milliseconds);
    }
#endif

    // ---- Requests --------------------------------------------------------
    // One request of text, with the lock held and the turn taken: ends a
    // stream of the other kind that is open, sends the text through the text
    // path (each piece answered before the next goes out), and reads the
    // answer to the end of the request (final) or sends nothing more (a
    // push). Returns why it stopped; kNone when it ran to its end.
    StopReason Submit(const char* text, bool xml, bool final) REQUIRES(lock_);
    // One query exchange in a turn of its own, taking the lock: sends query
    // and reads its answer into sink (the application's when null).
    RequestEnd Query(const char* query, PacketSink* sink) EXCLUDES(lock_);

    // One PACKET_QUERY holding the query and its NUL. False when not connected
    // or the send failed (also when it timed out or was woken by a stop).
    // Does not wait for the reply.
    bool SendQuery(const char* query) REQUIRES(lock_);

    // Reads the server's answer packet by packet, handing each to sink (the
    // application's when none is given), until PACKET_END (true), a stop
    // (true), or a failure (false: receive error or closed stream, time-out,
    // bad frame, PACKET_CLOSE, or the sink refused a packet). Logs the
    // reason of each failure and stops the request with it.
    bool WaitForEndPacket(PacketSink& sink) REQUIRES(lock_);
    bool WaitForEndPacket() REQUIRES(lock_) {
        return WaitForEndPacket(application_);
    }

  protected:
    // Hands the application its completion event.
    void DeliverCompletion();

  private:
    // How a frame read for an answer ended.
    enum class Read { kFrame, kQuit, kFailed };
    // What a frame does to its answer.
    enum class Step { kNext, kEnd, kFailed, kRefused };

    // The socket, with the send limit set from the packet timeout; null when
    // not connected.
    Socket* Outgoing() REQUIRES(lock_);
    // Reads the stream into the frame reader until it holds a whole frame,
    // the quit flag is raised, or the stream fails (logged). start: when the
    // packet being read began, for the packet timeout.
    Read ReadFrame(wire::Frame* frame, int64_t start) REQUIRES(lock_);
    // Hands one frame of an answer to sink (logs what it refuses).
    Step Dispatch(const wire::Frame& frame, PacketSink& sink);
    // The receive loop proper: frames read and dispatched until the answer
    // ends.
    Step ReadAnswer(PacketSink& sink) REQUIRES(lock_);

    // The text path: tokenises text through the channel, each piece sent
    // and answered from inside (Piece, VoiceSwitch); then, unless stopped,
    // an empty PACKET_TEXT when final.
    void SendText(const char* text, bool xml, bool final) REQUIRES(lock_);
    // Sends text as PACKET_TEXT (final) or PACKET_TEXT_CHUNK (not final;
    // nothing for empty text); text over 63999 bytes goes first in
    // 63999-byte PACKET_TEXT_CHUNKs, each followed by a wait for its answer.
    // Does not wait after the last packet. True when everything was sent.
    bool SendData(const char* text, size_t length, bool xml, bool final) REQUIRES(lock_);
    // Sends one text packet: the text and its NUL.
    bool SendTextPacket(uint16_t type, const char* text, size_t length) REQUIRES(lock_);
    // Sends one frame whose payload is the given parts. False, with an ERROR
    // log line, when the payload is over the largest one (nothing is sent),
    // or when sending failed.
    bool SendFrame(uint16_t type, std::initializer_list<BytePiece> payload) REQUIRES(lock_);

    // TextSink: run from the channel, inside SendText.
    void Piece(const char* text, size_t length, bool final) override;
    void VoiceSwitch(bool named, const std::string& name) override;
    void Failed() noexcept override;

    static constexpr int32_t kStreamId = 0;

    PacketSink& application_;
    RecursiveLock lock_;
    // Declared before the socket, which waits on its wake signal.
    RequestState request_;
    std::unique_ptr<Socket> socket_ GUARDED_BY(lock_);
    // The server's answers as read from socket_. Bytes left over when an
    // answer ends early stay here, in stream order, for the next read, as
    // they would have stayed in the socket.
    wire::FrameReader reader_ GUARDED_BY(lock_);
    std::atomic<int> packet_timeout_{kDefaultPacketTimeoutMs};
    int port_ GUARDED_BY(lock_) = 0;
    std::string host_ GUARDED_BY(lock_);
    TextPath text_{*this};
};

}  // namespace vrelay

#endif
