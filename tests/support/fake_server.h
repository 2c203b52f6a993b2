// SPDX-License-Identifier: MIT
// A scriptable stand-in for the speech server, for tests.
//
// It listens on 127.0.0.1 (ephemeral port), serves one client at a time on its
// own thread, records every frame it receives, and answers each frame with the
// actions a handler returns. Tests wait on the record with WaitForFrames.
#ifndef VRELAY_TESTS_SUPPORT_FAKE_SERVER_H
#define VRELAY_TESTS_SUPPORT_FAKE_SERVER_H

#include <vrelay/vrelay.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "transport/socket.h"

namespace vrelay {
namespace test {

using Bytes = std::vector<uint8_t>;

// One complete frame as the server read it.
struct ReceivedFrame {
    uint16_t type = 0;
    Bytes payload;
    Bytes raw;  // the whole frame as it came off the wire

    // The payload up to its first NUL (text and query payloads).
    std::string Text() const;
};

// What the server does in answer to a frame; a handler returns a list of them,
// run in order.
struct Action {
    enum class Kind { kSendFrame, kSendRaw, kSilent, kClose, kReset, kHold };
    Kind kind = Kind::kSilent;
    uint16_t type = 0;                // kSendFrame
    std::optional<uint32_t> trailer;  // kSendFrame: trailer length override
    Bytes bytes;                      // kSendFrame payload, or kSendRaw bytes
    int trickleDelayMs = 0;           // kSendRaw: if > 0, one send per byte, this far apart

    static Action Frame(uint16_t type, Bytes payload = {},
                        std::optional<uint32_t> trailer = std::nullopt) {
        return {Kind::kSendFrame, type, trailer, std::move(payload), 0};
    }
    static Action Text(uint16_t type, const std::string& text);  // payload = text + NUL
    static Action End() { return Frame(PACKET_END); }
    static Action Raw(Bytes bytes, int trickleDelayMs = 0) {
        return {Kind::kSendRaw, 0, std::nullopt, std::move(bytes), trickleDelayMs};
    }
    static Action Silent() { return {}; }
    // Closes this client's connection.
    static Action Close() { return {Kind::kClose, 0, {}, {}, 0}; }
    // Aborts this client's connection: the client sees a reset, not an end.
    static Action Reset() { return {Kind::kReset, 0, {}, {}, 0}; }
    // Blocks the server until the test calls Release() (or Stop()).
    static Action Hold() { return {Kind::kHold, 0, {}, {}, 0}; }
};

using Handler = std::function<std::vector<Action>(const ReceivedFrame&)>;

// One PACKET_END for PACKET_TEXT, PACKET_TEXT_CHUNK and PACKET_QUERY; closes
// the session on PACKET_CLOSE; nothing for anything else.
std::vector<Action> DefaultAnswer(const ReceivedFrame& frame);

// Frames for which `which` holds get `answer`; all others what `others` gives.
Handler AnswerWhen(std::function<bool(const ReceivedFrame&)> which, std::vector<Action> answer,
                   Handler others = DefaultAnswer);

// PACKET_ENDs answering the next `frames` frames ahead, then a hold: the
// server reads nothing more until released, so a client that goes on sending
// fills the socket buffers.
std::vector<Action> AnswerAheadThenHold(size_t frames);

// The empty PACKET_TEXT that closes every request.
inline bool IsClosingText(const ReceivedFrame& frame) {
    return frame.type == PACKET_TEXT && frame.payload.size() <= 1;
}

class FakeServer {
  public:
    explicit FakeServer(Handler handler = DefaultAnswer);
    ~FakeServer() { Stop(); }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int Port() const { return port_; }
    std::string Host() const { return "127.0.0.1"; }

    void SetHandler(Handler handler);

    // Waits until at least n frames have been recorded; false on timeout.
    bool WaitForFrames(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the server is blocked at a Hold action.
    bool WaitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Lets the held server go on; the next Hold blocks again.
    void Release();

    std::vector<ReceivedFrame> Frames() const;
    // Type and text of each frame received from index `from` on.
    std::vector<std::pair<uint16_t, std::string>> Wire(size_t from = 0) const;
    // The texts of the frames of one type received from index `from` on.
    std::vector<std::string> Texts(uint16_t type, size_t from = 0) const;

    // Ends the server: wakes every wait, closes any client, joins the thread.
    // Idempotent.
    void Stop();

  private:
    void Run();
    void Serve(Socket& client);
    // False when the session must end.
    bool Perform(Socket& client, const std::vector<Action>& actions);
    bool WaitForRelease();
    template <typename Predicate>
    bool WaitUntil(std::chrono::milliseconds timeout, Predicate done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

    std::unique_ptr<SocketServer> listener_;
    WakeSignal wake_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Handler handler_;
    std::vector<ReceivedFrame> frames_;
    bool held_ = false;
    bool released_ = false;
    SocketHandle current_client_ = kInvalidSocket;

    std::thread thread_;
};

// A frame as bytes. trailer overrides the second length field.
Bytes EncodeFrame(uint16_t type, const Bytes& payload, int32_t streamId = 0,
                  std::optional<uint32_t> trailer = std::nullopt);

// text + its NUL.
Bytes TextPayload(const std::string& text);

// A phoneme payload written field by field, independently of the packet
// code: first, N1 = phone.size() + 1, N2 = next.size() + 1, the names with
// their NULs, then the first valueCount values; the six zero bytes follow
// only when all seven values are written.
Bytes EncodePhonemePayload(int32_t first, const std::string& phone, const std::string& next,
                           const std::array<int32_t, 7>& values, int valueCount = 7);

// A phoneme payload with the given name-field lengths N1 and N2 (first = 1)
// and `rest` after them, for records whose lengths lie.
Bytes PhonemeWithLengths(uint32_t n1, uint32_t n2, const Bytes& rest);

}  // namespace test
}  // namespace vrelay

#endif
