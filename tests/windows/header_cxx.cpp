// SPDX-License-Identifier: MIT
// The public header included from C++, with the same convention checks as
// the C client (in C++ a mismatch is always an error).
#include <vrelay/vrelay.h>

namespace {
int32_t VR_CDECL OnPacket(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}
int32_t __stdcall OnPacketPascal(void*, PACKET_TYPE, void*, int32_t) {
    return VR_SUCCESS;
}
}  // namespace

extern "C" int HeaderCompilesAsCxx(void) {
    vrCallBack callback = OnPacket;
    vrPascalCallBack pascal = OnPacketPascal;
    vr_result(__cdecl * destroy)(vr_handle) = vrDestroyConnection;
    return callback != nullptr && pascal != nullptr && destroy != nullptr;
}
