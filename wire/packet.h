// SPDX-License-Identifier: MIT
// A frame's fixed fields one by one, for the server's worker messages, which
// read and write them around payloads of their own.
#ifndef VRELAY_WIRE_PACKET_H
#define VRELAY_WIRE_PACKET_H

#include <cstdint>

#include "wire/frame.h"

namespace vrelay {
namespace wire {

struct FrameHeader {
    uint16_t type = 0;
    int32_t streamId = 0;
    uint32_t length = 0;
};
void PutHeader(const FrameHeader& header, unsigned char out[kHeaderSize]);
FrameHeader GetHeader(const unsigned char in[kHeaderSize]);
void PutTrailer(uint32_t length, unsigned char out[kTrailerSize]);
uint32_t GetTrailer(const unsigned char in[kTrailerSize]);

}  // namespace wire
}  // namespace vrelay

#endif
