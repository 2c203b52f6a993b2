// Connection handles: create, open, close, destroy.
#include "client/handles.h"
#include "client/voice_switch.h"
#include <vrelay/vrelay.h>

using vrelay::Connections;
using vrelay::LookupConnection;
using vrelay::ScopedLock;
using vrelay::ThreadedConnection;

extern "C" {

// There is no result code for want of memory: the handle is the only result.
// A table that cannot grow returns VR_ERROR (-1), which is never a handle.
VR_API vr_handle VR_CDECL vrCreateConnection(void) {
    return Connections().Add([] { return new ThreadedConnection(); });
}

VR_API vr_result VR_CDECL vrOpenConnection(vr_handle connection, const char* host, int32_t port) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    if (host == nullptr) {
        return VR_CONNECT_FAILED;
    }
    try {
        if (!object->Connect(host, port)) {
            return VR_CONNECT_FAILED;
        }
    } catch (const char*) {
        return VR_CONNECT_FAILED;
    }
    vrelay::InstallVoiceSwitch(connection);
    return VR_SUCCESS;
}

VR_API vr_result VR_CDECL vrCloseConnection(vr_handle connection) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    // Waits behind a running request. The socket is also dropped under the
    // lock, so that no request can be reading it at that moment.
    ScopedLock lock(object->Lock());
    if (!object->CloseStreamSocket()) {
        return VR_SEND_FAILED;
    }
    return object->Close() ? VR_SUCCESS : VR_SEND_FAILED;
}

VR_API vr_result VR_CDECL vrDestroyConnection(vr_handle connection) {
    // Stop a running request first, so that the close below does not wait
    // for a server that may never answer.
    if (auto object = LookupConnection(connection)) {
        object->SetQuitFlag(true);
    }
    if (vrCloseConnection(connection) == VR_BAD_HANDLE) {
        return VR_SUCCESS;
    }
    std::shared_ptr<ThreadedConnection> object;
    bool found = false;
    const bool released = Connections().Remove(connection, &object, &found);
    if (object) {
        // Stop and join a running worker here, on the caller's thread, so that
        // the object is never freed by its own worker.
        object->Shutdown();
        object.reset();
    }
    return released ? VR_SUCCESS : VR_ERROR;
}

}  // extern "C"
