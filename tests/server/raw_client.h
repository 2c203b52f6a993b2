// A bare protocol client for the server tests: frames from the transport
// layer, answers decoded with server/protocol.h.
#ifndef VRELAY_TESTS_SERVER_RAW_CLIENT_H
#define VRELAY_TESTS_SERVER_RAW_CLIENT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "server/protocol.h"
#include "transport/socket.h"

namespace vrelay {
namespace test {

struct PhonemeRecord {
    int32_t start = 0;
    std::string name;
    std::string next;
    int32_t duration = 0;
    int32_t rate = 0;
};

// Everything one exchange brought, up to and including PACKET_END.
struct Answer {
    bool ended = false;   // PACKET_END came
    bool closed = false;  // the stream ended (or timed out) before it
    std::vector<uint16_t> types;
    std::vector<server::AudioFormat> formats;
    std::vector<int16_t> audio;
    std::vector<server::MarkReached> marks;
    std::vector<PhonemeRecord> phonemes;
    std::vector<std::string> messages;
    std::string query;
    // Audio samples received before each mark packet arrived.
    std::vector<size_t> audio_before_mark;

    std::vector<std::string> MarkNames() const;
};

class RawClient {
  public:
    explicit RawClient(int port);
    // Sends type with text and its NUL as payload.
    bool Send(uint16_t type, const std::string& text);
    bool SendEmpty(uint16_t type);
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // Reads packets until PACKET_END, the end of the stream, or 60 s of silence.
    Answer Read();
    Answer Exchange(uint16_t type, const std::string& text);
    // True when the server closes the stream before sending anything more.
    bool SeesClose();
    void Close() { socket_->Close(); }

  private:
    std::unique_ptr<SocketClient> socket_;
};

// Silences the log (session lines would drown the test output) while alive.
class LogSilencer {
  public:
    LogSilencer();
    ~LogSilencer();
    LogSilencer(const LogSilencer&) = delete;
    LogSilencer& operator=(const LogSilencer&) = delete;

  private:
    FILE* saved_;
};

// A frame with the given fields, for building malformed ones.
std::vector<uint8_t> Frame(uint16_t type, const std::vector<uint8_t>& payload, uint32_t length,
                           uint32_t trailer);

}  // namespace test
}  // namespace vrelay

#endif
