// SPDX-License-Identifier: MIT
// Fuzzes the client's receive loop with any answer a server might send: each
// packet handed on lies inside its buffer, every phoneme record's names end
// inside it, and the loop ends once the stream does.
#include <cstdint>
#include <cstring>
#include <memory>

#include "connection/connection.h"
#include "fuzz/fuzz_check.h"
#include "transport/socket.h"

namespace {

class CheckingSink : public vrelay::PacketSink {
  public:
    bool Deliver(uint16_t type, const unsigned char* data, uint32_t length) override {
        FuzzCheck(data != nullptr && length <= vrelay::wire::kMaxPayload);
        FuzzCheck(type == vrelay::wire::kAudio || type == vrelay::wire::kMark ||
                  type == vrelay::wire::kFormat || type == vrelay::wire::kMessage ||
                  type == vrelay::wire::kQuery);
        // Reads every byte, so a length past the buffer is caught.
        for (uint32_t i = 0; i < length; ++i)
            touched_ += data[i];
        return true;
    }
    bool DeliverPhoneme(const vrelay::wire::Phoneme& phoneme) override {
        FuzzCheck(phoneme.phone != nullptr && phoneme.next_phone != nullptr);
        touched_ += std::strlen(phoneme.phone) + std::strlen(phoneme.next_phone);
        return true;
    }

  private:
    size_t touched_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The answer is written whole and the stream ended before the loop reads,
    // so every run is decided by the bytes alone.
    static vrelay::SocketServer server(0, 4, vrelay::WaitingSelect, "127.0.0.1");
    if (size > 60000)
        return 0;
    // One connection for all runs (making its text channel is slow); each
    // run opens a fresh stream on it.
    static CheckingSink sink;
    static vrelay::Connection connection(sink);
    connection.SetPacketTimeout(5000);
    // Each run is a request of its own, so that a failed answer (which stops
    // its request) leaves the next run free to read.
    vrelay::RequestScope request(connection.Request());
    vrelay::ScopedLock lock(connection.Lock());
    FuzzCheck(connection.Connect("127.0.0.1", server.Port()));
    std::unique_ptr<vrelay::Socket> peer(server.Accept());
    FuzzCheck(peer != nullptr);
    FuzzCheck(peer->SendBytes(reinterpret_cast<const char*>(data), size) ==
              static_cast<int64_t>(size));
    peer->Close();
    connection.WaitForEndPacket();
    return 0;
}
