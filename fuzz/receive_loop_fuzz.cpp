// SPDX-License-Identifier: MIT
// Fuzzes the client's receive loop with any answer a server might send: each
// packet handed on lies inside its buffer, every phoneme event's names end
// inside their record, and the loop ends once the stream does.
#include <cstdint>
#include <cstring>
#include <memory>

#include "connection/connection.h"
#include "fuzz/fuzz_check.h"
#include "transport/socket.h"

namespace {

class CheckingSink : public vrelay::PacketSink {
  public:
    int32_t Deliver(PACKET_TYPE type, void* data, int32_t length) override {
        FuzzCheck(length >= 0 && (length == 0 || data != nullptr));
        if (type == PACKET_PHONEME) {
            FuzzCheck(length == static_cast<int32_t>(sizeof(PhonemeEvent)));
            const auto* event = static_cast<const PhonemeEvent*>(data);
            FuzzCheck(event->size == length);
            FuzzCheck(event->phone != nullptr && event->next_phone != nullptr);
            touched_ += std::strlen(event->phone) + std::strlen(event->next_phone);
            return VR_SUCCESS;
        }
        FuzzCheck(type == PACKET_DATA_6 || type == PACKET_DATA_8 || type == PACKET_DATA_9 ||
                  type == PACKET_DATA_10 || type == PACKET_QUERY);
        // Reads every byte, so a length past the buffer is caught.
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (int32_t i = 0; i < length; ++i)
            touched_ += bytes[i];
        return VR_SUCCESS;
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
    static vrelay::Connection connection;
    connection.SetPacketTimeout(5000);
    // Each run is a request of its own, so that a failed answer (which stops
    // its request) leaves the next run free to read.
    vrelay::ScopedLock lock(connection.Lock());
    vrelay::RequestScope request(connection.Request());
    FuzzCheck(connection.Connect("127.0.0.1", server.Port()));
    std::unique_ptr<vrelay::Socket> peer(server.Accept());
    FuzzCheck(peer != nullptr);
    FuzzCheck(peer->SendBytes(reinterpret_cast<const char*>(data), size) ==
              static_cast<int64_t>(size));
    peer->Close();
    CheckingSink sink;
    connection.WaitForEndPacket(sink);
    return 0;
}
