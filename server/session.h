// SPDX-License-Identifier: GPL-3.0-or-later
// One client's conversation with the server: reads its packets, keeps its
// voice and the text of its open request, and answers every text and query
// packet with answer packets and one end frame (see server/protocol.h).
#ifndef VRELAY_SERVER_SESSION_H
#define VRELAY_SERVER_SESSION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "server/engine.h"
#include "server/markup.h"
#include "transport/socket.h"
#include "wire/frame.h"

namespace vrelay {
namespace server {

// What one client may cost the server. Each bound ends or trims only that
// client's request or session, with a message saying so.
struct SessionLimits {
    // Text of one request that may wait unspoken (stream pieces not yet whole
    // words, and words held for their sentence end). Beyond it the rest of
    // the request is dropped and the client told.
    size_t max_pending_text = 8u << 20;
    // Audio of one request, in seconds; beyond it the rest is dropped.
    int max_request_audio_seconds = 3600;
    // A session that sends no text and no query for this long is closed (a
    // packet without text does not count, nor does a part of a packet).
    int idle_timeout_ms = 300 * 1000;
    // Time to answer one text packet (synthesis and sending); beyond it the
    // rest of the request is dropped. Also the longest a single send may wait
    // for a client that does not read: then the session ends.
    int request_timeout_ms = 120 * 1000;
};

// Silence that <break/> elements may add: at most kMaxBreakMs after one word,
// and per request kBaseBreakMs plus kBreakMsPerTextByte for every byte of the
// request's text. Audio then stays proportional to the input.
constexpr int64_t kBaseBreakMs = 60 * 1000;
constexpr int64_t kBreakMsPerTextByte = 10;
// Longest run of text handed to an engine as one word; longer words are
// split at character boundaries so that no synthesis step grows with them.
constexpr size_t kMaxWordBytes = 200;

// Splits words longer than max_bytes (the first piece keeps the mark, the
// last the breaks) and rewrites every break to an explicit time="Nms",
// clamped to the per-word bound and to *break_budget_ms, which it spends.
void BoundWords(std::vector<Word>* words, size_t max_bytes, int64_t* break_budget_ms);

class Session : private UnitSink {
  public:
    // stopping and wake are the server's: raised, they end Run() promptly.
    // takes_pieces: the engine may hand this session a unit in pieces from
    // inside its synthesis (see UnitSink::TakesPieces), which only a session
    // that no other waits for may take.
    Session(int id, std::unique_ptr<Socket> socket, std::string peer, Engine* engine,
            std::string voice, SessionLimits limits, const std::atomic<bool>* stopping,
            const WakeSignal* wake, bool takes_pieces = false);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the client until it closes, fails, sends a malformed frame, or
    // the server stops; closes the connection before returning.
    void Run();
    // From another thread: makes blocked sends and receives fail at once.
    void Interrupt();
    // From any thread: Run has begun closing the connection, which the
    // client may already see closed.
    bool Closed() const { return closed_.load(); }
    // From any thread: the client has closed its end of the connection (or
    // it failed), which the session may not have read yet.
    bool ClientGone() EXCLUDES(socket_mutex_);

    // From another thread, the first step of a graceful stop: from now on a
    // session that has had no request for a second closes (within half a
    // second more); one that is answering or receiving a request goes on, and
    // so does its client's next request if it comes within that second.
    void Drain();
    // From another thread, the end of a graceful stop: the request being
    // answered stops at the next frame, and the client gets the message
    // "error: server shutting down" and PACKET_CLOSE.
    void Close();

  private:
    enum class ReadResult { kFrame, kMalformed, kGone, kStopped, kIdle, kDrained, kClosing };
    // The client's next frame; it stays valid until the next call.
    ReadResult ReadFrame(wire::Frame* frame);
    // Serves packets until the session ends; returns the reason.
    std::string Serve();
    bool OnText(const wire::Frame& frame, bool final);
    bool OnQuery(const wire::Frame& frame);
    // Stops the request: the rest of its text is answered by PACKET_END alone.
    bool RefuseRequest(const std::string& log_reason, const std::string& message);
    bool SpeakWords(std::vector<Word>* words);
    bool OnUnit(const SynthesisUnit& unit) override;
    // False (with the reason noted) when the unit would take the request
    // past its audio or time limit.
    bool UnitWithinLimits(const SynthesisUnit& unit);
    std::chrono::steady_clock::time_point Deadline() const override { return deadline_; }
    bool Abandoned() const override;
    bool TakesPieces() const override { return takes_pieces_; }
    // Sends a frame; a small one is held until a large one, the answer's
    // PACKET_END or enough others go (all in order).
    bool Send(uint16_t type, const std::vector<unsigned char>& payload);
    bool SendFrame(uint16_t type, const void* payload, size_t length, bool small);
    bool SendHeld();
    bool SendMessage(const std::string& text);
    bool SendEnd();
    // The message and PACKET_CLOSE of a session closed by Close().
    void SendClosing();
    void EndRequest();
    // Ends the wait of a synthesis or a send: the server stops, or Close().
    bool Stopped() const { return stopping_->load() || closing_.load(); }
    // From any thread: shutdown(2) of the socket unless it is closed.
    void ShutdownSocket(int how) EXCLUDES(socket_mutex_);
    // Something the client sent is waiting to be read.
    bool InputWaiting();
    // A session logs its opening and closing at info level once it sends
    // text or a query; until then (a health check, a probe) at debug level.
    void Announce();
    std::string OpenedLine() const;

    const int id_;
    // The session's thread uses socket_ without the lock: it is the only one
    // that closes it, and it closes it holding socket_mutex_. Other threads
    // (Interrupt, Close) touch it only holding socket_mutex_.
    std::unique_ptr<Socket> socket_;
    Mutex socket_mutex_;
    wire::FrameReader reader_;  // the client's frames, read from socket_ in chunks
    const std::string peer_;
    Engine* const engine_;
    std::string voice_;
    const SessionLimits limits_;
    const std::atomic<bool>* const stopping_;
    const bool takes_pieces_;
    std::atomic<bool> draining_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> closed_{false};
    // Sent text or a query: its lines are logged at info level (see LogLine).
    bool announced_ = false;

    // The open request: from its first PACKET_TEXT_CHUNK to its PACKET_TEXT.
    bool in_request_ = false;
    StreamBuffer buffer_;
    MarkupParser parser_;
    std::vector<Word> held_;  // whole words waiting for their sentence's end
    size_t held_bytes_ = 0;
    int64_t clock_ = 0;    // samples sent in this request
    int format_rate_ = 0;  // the rate announced in this answer; 0: none yet
    int64_t break_budget_ms_ = kBaseBreakMs;
    bool dropping_ = false;    // the request was refused; its rest is ignored
    bool over_limit_ = false;  // the answer being sent hit a bound (audio or time)
    std::string over_limit_reason_;
    std::chrono::steady_clock::time_point deadline_;
    // The end of the last answer to text or a query: the idle time counts from it.
    std::chrono::steady_clock::time_point active_ = std::chrono::steady_clock::now();

    // Counts for the closing log line.
    uint64_t texts_ = 0;
    uint64_t queries_ = 0;
    uint64_t text_bytes_ = 0;
    uint64_t samples_ = 0;
    bool send_failed_ = false;
    std::string held_frames_;  // framed, waiting to go out (see Send)
};

}  // namespace server
}  // namespace vrelay

#endif
