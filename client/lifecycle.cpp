// SPDX-License-Identifier: MIT
// Connection handles: create, open, close, destroy.
#include <vrelay/vrelay.h>

#include "client/handles.h"
#include "client/voice_switch.h"

using vrelay::Connections;
using vrelay::InsideOwnRequest;
using vrelay::LookupConnection;
using vrelay::NoThrow;
using vrelay::RequestState;
using vrelay::ScopedLock;
using vrelay::ThreadedConnection;

namespace {

vr_result Open(vr_handle connection, const char* host, int32_t port) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    if (InsideOwnRequest(*object)) {
        return VR_BUSY;
    }
    if (host == nullptr) {
        return VR_CONNECT_FAILED;
    }
    // Behind a running request, so that its socket is not replaced under it.
    ScopedLock lock(object->Lock());
    if (!object->Connect(host, port)) {
        return VR_CONNECT_FAILED;
    }
    vrelay::InstallVoiceSwitch(*object);
    return VR_SUCCESS;
}

// Sends PACKET_CLOSE and drops the socket, behind a running request. A
// socket whose PACKET_CLOSE cannot be sent (the server reset the stream) is
// dropped all the same, so that the handle can be opened again: the result
// is still VR_SEND_FAILED.
vr_result Close(ThreadedConnection& object) {
    ScopedLock lock(object.Lock());
    const bool sent = object.CloseStreamSocket();
    const bool closed = object.Close();
    return sent && closed ? VR_SUCCESS : VR_SEND_FAILED;
}

vr_result Destroy(vr_handle connection) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_SUCCESS;
    }
    if (InsideOwnRequest(*object)) {
        return VR_BUSY;  // it would be freed under the request it runs in
    }
    // Stop a running request first, so that the close below does not wait
    // for a server that may never answer; requests waiting behind it are
    // refused.
    object->State().BeginStop(RequestState::Stop::kDestroy);
    object->SetQuitFlag(true);
    Close(*object);
    Connections().Remove(connection);
    // Stop and join a running worker here, on the caller's thread, so that
    // the object is never freed by its own worker. The number is free for
    // reuse once this call lets go of the object.
    object->Shutdown();
    return VR_SUCCESS;
}

}  // namespace

extern "C" {

// There is no result code for want of memory: the handle is the only result.
// A table that cannot grow returns VR_ERROR (-1), which is never a handle.
// Creating a connection takes no descriptor: the socket and the wake-up
// signal are made by vrOpenConnection.
VR_API vr_handle VR_CDECL vrCreateConnection(void) {
    return NoThrow(VR_ERROR,
                   [] { return Connections().Add([] { return new ThreadedConnection(); }); });
}

VR_API vr_result VR_CDECL vrOpenConnection(vr_handle connection, const char* host, int32_t port) {
    return NoThrow(VR_CONNECT_FAILED, [&] { return Open(connection, host, port); });
}

VR_API vr_result VR_CDECL vrCloseConnection(vr_handle connection) {
    return NoThrow(VR_SEND_FAILED, [&]() -> vr_result {
        auto object = LookupConnection(connection);
        if (!object) {
            return VR_BAD_HANDLE;
        }
        if (InsideOwnRequest(*object)) {
            return VR_BUSY;
        }
        return Close(*object);
    });
}

VR_API vr_result VR_CDECL vrDestroyConnection(vr_handle connection) {
    return NoThrow(VR_ERROR, [&] { return Destroy(connection); });
}

}  // extern "C"
