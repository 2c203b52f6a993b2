// SPDX-License-Identifier: MIT
// Connection handles: create, open, close, destroy.
#include <vrelay/vrelay.h>

#include "client/handles.h"

using vrelay::CallRules;
using vrelay::ClientConnection;
using vrelay::Connections;
using vrelay::NoThrow;
using vrelay::OnConnection;
using vrelay::ScopedLock;

extern "C" {

// There is no result code for want of memory: the handle is the only result.
// A table that cannot grow returns VR_ERROR (-1), which is never a handle.
// Creating a connection takes no descriptor: the socket and the wake-up
// signal are made by vrOpenConnection.
VR_API vr_handle VR_CDECL vrCreateConnection(void) {
    return NoThrow(VR_ERROR,
                   [] { return Connections().Add([] { return new ClientConnection(); }); });
}

// Behind a running request, so that its socket is not replaced under it.
VR_API vr_result VR_CDECL vrOpenConnection(vr_handle connection, const char* host, int32_t port) {
    CallRules rules;
    rules.outOfMemory = VR_CONNECT_FAILED;
    return OnConnection(
        connection,
        [&](ClientConnection& c) {
            if (host == nullptr) {
                return VR_CONNECT_FAILED;
            }
            ScopedLock lock(c.Lock());
            return c.Connect(host, port) ? VR_SUCCESS : VR_CONNECT_FAILED;
        },
        rules);
}

// Sends PACKET_CLOSE and drops the socket, behind a running request. A
// socket whose PACKET_CLOSE cannot be sent (the server reset the stream) is
// dropped all the same, so that the handle can be opened again: the result
// is still VR_SEND_FAILED.
VR_API vr_result VR_CDECL vrCloseConnection(vr_handle connection) {
    CallRules rules;
    rules.outOfMemory = VR_SEND_FAILED;
    return OnConnection(
        connection,
        [](ClientConnection& c) {
            ScopedLock lock(c.Lock());
            return c.CloseStream() ? VR_SUCCESS : VR_SEND_FAILED;
        },
        rules);
}

VR_API vr_result VR_CDECL vrDestroyConnection(vr_handle connection) {
    CallRules rules;
    rules.unknown = VR_SUCCESS;
    return OnConnection(
        connection,
        [connection](ClientConnection& c) {
            // The handle goes first: calls from now on find it unknown. Its
            // number is free for reuse once this call lets go of the object.
            Connections().Remove(connection);
            c.Destroy();
            return VR_SUCCESS;
        },
        rules);
}

}  // extern "C"
