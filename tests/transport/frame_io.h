// Frame reading and sending shared by the transport tests.
#ifndef VRELAY_TESTS_TRANSPORT_FRAME_IO_H
#define VRELAY_TESTS_TRANSPORT_FRAME_IO_H

#include <cstdint>
#include <vector>

#include "tests/support/fake_server.h"
#include "transport/packet.h"

namespace vrelay {
namespace test {

// Reads one whole frame with repeated GetData calls, collecting what each one
// reports received; false when a call fails first.
inline bool ReadFrame(Packet& packet, ByteSource& source, std::vector<int>* received = nullptr) {
    for (int calls = 0; !packet.FilledPacket() && calls < 1000000; ++calls) {
        int n = 0;
        if (!packet.GetData(&source, &n)) {
            return false;
        }
        if (received != nullptr) {
            received->push_back(n);
        }
    }
    return packet.FilledPacket();
}

inline bool SendFrame(ByteSink& sink, uint16_t type, Bytes payload, int32_t streamId = 0) {
    Packet packet(streamId, type, payload.data(), static_cast<uint32_t>(payload.size()), false);
    return packet.SendData(&sink);
}

}  // namespace test
}  // namespace vrelay

#endif
