// One client's conversation with the server: reads its packets, keeps its
// voice and the text of its open request, and answers every text and query
// packet with answer packets and one PACKET_END (see server/protocol.h).
#ifndef VRELAY_SERVER_SESSION_H
#define VRELAY_SERVER_SESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/engine.h"
#include "server/markup.h"
#include "transport/packet.h"
#include "transport/socket.h"

namespace vrelay {
namespace server {

struct SessionLimits {
    // Text of one request that may wait unspoken (stream pieces not yet whole
    // words, and words held for their sentence end). Beyond it the request's
    // text is dropped and the client told.
    size_t max_pending_text = 8u << 20;
};

class Session : private UnitSink {
  public:
    // stopping and wake are the server's: raised, they end Run() promptly.
    Session(int id, std::unique_ptr<Socket> socket, std::string peer, Engine* engine,
            std::string voice, SessionLimits limits, const std::atomic<bool>* stopping,
            const WakeSignal* wake);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the client until it closes, fails, sends a malformed frame, or
    // the server stops; closes the connection before returning.
    void Run();
    // From another thread: makes blocked sends and receives fail at once.
    void Interrupt();

  private:
    enum class ReadResult { kPacket, kGone, kStopped };
    ReadResult ReadPacket(Packet* packet);
    bool OnText(Packet& packet, bool final);
    bool OnQuery(Packet& packet);
    bool SpeakWords(const std::vector<Word>& words);
    bool OnUnit(const SynthesisUnit& unit) override;
    bool Send(uint16_t type, const std::vector<unsigned char>& payload);
    bool SendMessage(const std::string& text);
    bool SendEnd();
    void EndRequest();

    const int id_;
    std::unique_ptr<Socket> socket_;
    std::mutex socket_mutex_;  // guards closing against Interrupt
    const std::string peer_;
    Engine* const engine_;
    std::string voice_;
    const SessionLimits limits_;
    const std::atomic<bool>* const stopping_;

    // The open request.
    StreamBuffer buffer_;
    MarkupParser parser_;
    std::vector<Word> held_;  // whole words waiting for their sentence's end
    size_t held_bytes_ = 0;
    int64_t clock_ = 0;    // samples sent in this request
    int format_rate_ = 0;  // the rate announced in this answer; 0: none yet

    // Counts for the closing log line.
    uint64_t texts_ = 0;
    uint64_t queries_ = 0;
    uint64_t text_bytes_ = 0;
    uint64_t samples_ = 0;
    bool send_failed_ = false;
};

}  // namespace server
}  // namespace vrelay

#endif
