// SPDX-License-Identifier: MIT
// One conversation with the speech server: the TCP stream, the application's
// packet callback, the quit flag, and the receive loop that reads answers.
//
// Threads: a Connection is used by one request thread at a time (the
// ThreadedConnection's lock sees to that). The quit flag is the exception:
// another thread may set it at any time to stop a running request.
#ifndef VRELAY_CONNECTION_CONNECTION_H
#define VRELAY_CONNECTION_CONNECTION_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/lexer.h"
#include "transport/buffered_source.h"
#include "transport/socket.h"

struct KVTP_tpc;

namespace vrelay {

// Where the receive loop hands the packets of an answer. Returning anything
// but VR_SUCCESS stops the loop (the rest of the answer is not read).
class PacketSink {
  public:
    virtual int32_t Deliver(PACKET_TYPE type, void* data, int32_t length) = 0;

  protected:
    ~PacketSink() = default;
};

class Connection : private PacketSink {
  public:
    static constexpr int kDefaultPacketTimeoutMs = 60000;

    Connection();
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the stream to host:port; records both first, even if it fails.
    // False when the name does not resolve, no descriptor is free, or the
    // connect fails or takes longer than SocketClient's connect time limit;
    // an open stream then stays as it was. On success an already open stream
    // is closed and replaced, and no text stream is open any more.
    bool Connect(const char* host, int port);
    // Closes and drops the stream. False if there was none.
    bool Close();
    bool IsConnected() const { return m_socket != nullptr; }

    // The longest one packet may take: to arrive whole in WaitForEndPacket
    // (counted from the request's last send or the previous packet, the
    // callback's time left out), or to be taken by the server when sent;
    // negative: no limit.
    void SetPacketTimeout(int milliseconds) { m_packetTimeout = milliseconds; }
    int GetPacketTimeout() const { return m_packetTimeout; }

    // Setting the quit flag also wakes a receive loop waiting for bytes and a
    // send waiting for the server to take them.
    void SetQuitFlag(bool quit);
    bool GetQuitFlag() const { return m_quit.load(std::memory_order_acquire); }

    void SetCallBack(vrCallBack callback) { m_callBack.store(callback); }
    vrCallBack GetCallBack() const { return m_callBack.load(); }
    void SetPascalCallBack(vrPascalCallBack callback) { m_pascalCallBack.store(callback); }
    vrPascalCallBack GetPascalCallBack() const { return m_pascalCallBack.load(); }
    void SetUserData(void* userData) { m_userData.store(userData); }
    void* GetUserData() const { return m_userData.load(); }

    const std::string& Host() const { return m_host; }
    int Port() const { return m_port; }
    int32_t StreamId() const { return m_streamId; }
    int32_t RequestMode() const { return m_requestMode; }
    void SetRequestMode(int32_t mode) { m_requestMode = mode; }
    uint32_t InputLength() const { return m_inputLength; }

    // One PACKET_QUERY holding the query and its NUL. False when not connected
    // or the send failed (also when it timed out or was woken by the quit
    // flag). Does not wait for the reply.
    bool SendQuery(const char* query);
    // One empty PACKET_CLOSE. False when not connected or the send failed.
    bool CloseStreamSocket();

    // Reads the server's answer packet by packet, handing each to sink (the
    // application's callback when none is given), until PACKET_END (true), the
    // quit flag (true), or a failure (false: receive error or closed stream,
    // time-out, mismatched frame, PACKET_CLOSE, or the sink refused a packet).
    // Logs the reason of each failure and records it (RequestFailure).
    bool WaitForEndPacket(PacketSink& sink);
    bool WaitForEndPacket() { return WaitForEndPacket(*this); }
    // Calls the callback once with (user data, type, null, 0). With the quit
    // flag set only PACKET_REQUEST_DONE is delivered.
    void FireEvent(PACKET_TYPE type);

    // What went wrong in the running request, so that it reports a failing
    // server (kReply) apart from a failed send (kSend) and from a cancel (the
    // quit flag). Reset by BeginRequest; a later failure never overwrites an
    // earlier one. Touched only by the thread running the request.
    enum class RequestFailure { kNone, kSend, kReply };
    RequestFailure Failure() const { return m_failure; }
    void RecordFailure(RequestFailure failure) {
        if (m_failure == RequestFailure::kNone) {
            m_failure = failure;
        }
    }
    // Starts a request: clears the quit flag and the recorded failure.
    void BeginRequest() {
        SetQuitFlag(false);
        m_failure = RequestFailure::kNone;
    }

    // ---- Text path ------------------------------------------------------
    // Callbacks of the tokenising channel: (user data, text, length).
    using TokeniserCallBack = void (*)(void* userData, const char* text, int length);

    // Tokenises text through the channel, whose text callback sends each
    // piece and reads its answer; then sends what is left: an empty
    // PACKET_TEXT when final, nothing otherwise. False when not connected or
    // the last send failed. After a cancel (quit flag set) nothing more is
    // sent and the result is true.
    bool SendText(const char* text, bool xml, bool final);
    // After a failed answer or a cancel no more of the request is sent.
    bool Abandoned() const { return GetQuitFlag() || m_failure != RequestFailure::kNone; }
    // Sends text as PACKET_TEXT (final) or PACKET_TEXT_CHUNK (not final;
    // nothing for empty text); text over 63999 bytes goes first in
    // 63999-byte PACKET_TEXT_CHUNKs, each followed by a wait for its answer.
    // Does not wait after the last packet. True when everything was sent.
    bool SendData(const std::string& text, bool xml, bool final);
    // Installs the channel's two callbacks; the connection takes ownership of
    // userData (freed with free(), also an earlier one at once).
    void SetTokeniserCallBack(TokeniserCallBack text, TokeniserCallBack application,
                              void* userData);
    // Removes both callbacks; the user data stays owned until destruction.
    void ClearTokeniserCallBack();
    KVTP_tpc* Channel() const { return m_channel; }
    void* TokeniserUserData() const { return m_tokeniserUserData; }
    const std::string& Tokenised() const { return m_tokenised; }

    static constexpr size_t kMaxTextPerPacket = 63999;

    // ---- Tokenising without sending -------------------------------------
    // Runs the channel over text (its callbacks see the pieces); sends
    // nothing itself. The xml flag is not used: the channel reads XML.
    void TokeniseTextTP(const char* text, bool xml, bool final);
    // Tokenises with the connection's own lexer into Tokenised(): a
    // "kvoxtk_" mark before every word; nothing is sent.
    void TokeniseText(const char* text, bool xml, bool final);
    // Lexes buffer from its start until at least limit bytes (whole tokens;
    // limit <= 0: all), appending to Tokenised(); returns the bytes consumed.
    int TokeniseChunk(const std::string& buffer, int limit, int xml);
    static int totoken(const char* text, int length) { return Lexer::totoken(text, length); }
    Lexer& OwnLexer() { return m_lexer; }

  protected:
    // The application's sink: hands one packet to the C callback, else the
    // Pascal one. Returns the callback's result (VR_SUCCESS when there is
    // none).
    int32_t Deliver(PACKET_TYPE type, void* data, int32_t length) override;

    std::unique_ptr<Socket> m_socket;
    // The server's answers as read from m_socket in large chunks. Bytes left
    // over when an answer ends early stay here, in stream order, for the next
    // read, as they would have stayed in the socket.
    BufferedSource m_input;
    std::atomic<vrCallBack> m_callBack{nullptr};
    std::atomic<vrPascalCallBack> m_pascalCallBack{nullptr};
    std::atomic<void*> m_userData{nullptr};
    uint32_t m_inputLength = 0;
    int32_t m_streamId = 0;
    int m_packetTimeout = kDefaultPacketTimeoutMs;
    int32_t m_requestMode = 0;
    std::atomic<bool> m_quit{false};
    RequestFailure m_failure = RequestFailure::kNone;
    int m_port = 0;
    std::string m_host;
    // Made by the first Connect, so that creating a connection takes no
    // descriptor; raised by SetQuitFlag (any thread) to end a waiting
    // receive. Published once through the atomic pointer, never replaced.
    std::unique_ptr<WakeSignal> m_wakeOwner;
    std::atomic<WakeSignal*> m_wake{nullptr};
    KVTP_tpc* m_channel = nullptr;
    void* m_tokeniserUserData = nullptr;
    std::string m_tokenised;
    Lexer m_lexer;

  private:
    // The socket, with the send limit set from the packet timeout; null when
    // not connected.
    Socket* Outgoing();
    // The receive loop proper; WaitForEndPacket records its failures.
    bool ReadAnswer(PacketSink& sink);
    // Sends one text packet: the text and its NUL.
    bool SendTextPacket(uint16_t type, const char* text, size_t length);
};

}  // namespace vrelay

#endif
