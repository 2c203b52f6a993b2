// SPDX-License-Identifier: MIT
#include "wire/packet.h"

namespace vrelay {
namespace wire {

namespace {

void PutU32(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

uint32_t GetU32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

}  // namespace

void PutHeader(const FrameHeader& header, unsigned char out[kHeaderSize]) {
    out[0] = static_cast<unsigned char>(header.type >> 8);
    out[1] = static_cast<unsigned char>(header.type);
    PutU32(out + 2, static_cast<uint32_t>(header.streamId));
    PutU32(out + 6, header.length);
}

FrameHeader GetHeader(const unsigned char in[kHeaderSize]) {
    FrameHeader header;
    header.type = static_cast<uint16_t>(in[0] << 8 | in[1]);
    header.streamId = static_cast<int32_t>(GetU32(in + 2));
    header.length = GetU32(in + 6);
    return header;
}

void PutTrailer(uint32_t length, unsigned char out[kTrailerSize]) {
    PutU32(out, length);
}

uint32_t GetTrailer(const unsigned char in[kTrailerSize]) {
    return GetU32(in);
}

}  // namespace wire
}  // namespace vrelay
