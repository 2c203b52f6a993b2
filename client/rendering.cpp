// SPDX-License-Identifier: MIT
// Rendering: synchronous, streamed and asynchronous requests, cancellation and
// the callback setters.
#include <vrelay/vrelay.h>

#include "client/handles.h"

namespace vrelay {
namespace {

vr_result Render(vr_handle handle, const char* text, bool final) {
    return OnConnection(handle, [&](ClientConnection& c) {
        return RequestResult(c.Render(text, true, final), false);
    });
}

vr_result RenderAsync(vr_handle handle, const char* text, bool xml) {
    return OnConnection(handle, [&](ClientConnection& c) {
        switch (c.RenderAsync(text, xml)) {
            case RequestState::Launch::kStarted:
                return VR_SUCCESS;
            case RequestState::Launch::kBusy:
                return VR_BUSY;
            case RequestState::Launch::kFailed:
            default:
                return VR_ERROR;
        }
    });
}

// The setters store a value without the connection lock, so that they work
// at any time, also from a callback.
template <typename Set>
vr_result Store(vr_handle handle, Set set) {
    CallRules rules;
    rules.fromCallback = true;
    return OnConnection(
        handle,
        [&](ClientConnection& c) {
            set(c);
            return VR_SUCCESS;
        },
        rules);
}

// The connection stops the running request and those waiting behind it, and
// reconnects in place.
vr_result Cancel(ClientConnection& c) {
    switch (c.Cancel()) {
        case ThreadedConnection::CancelEnd::kReconnected:
            return VR_SUCCESS;
        case ThreadedConnection::CancelEnd::kNotOpen:
            Warn("WARNING: could not close the connection!\n");
            return VR_SEND_FAILED;
        case ThreadedConnection::CancelEnd::kReconnectFailed:
            return VR_CONNECT_FAILED;
        case ThreadedConnection::CancelEnd::kDestroyed:
            return VR_BAD_HANDLE;
    }
    return VR_ERROR;
}

}  // namespace
}  // namespace vrelay

using vrelay::ClientConnection;

extern "C" {

VR_API vr_result VR_CDECL vrSetCallBack(vr_handle connection, vrCallBack callback) {
    return vrelay::Store(connection, [&](ClientConnection& c) { c.SetCallBack(callback); });
}

VR_API vr_result VR_CDECL vrSetPascalCallBack(vr_handle connection, vrPascalCallBack callback) {
    return vrelay::Store(connection, [&](ClientConnection& c) { c.SetPascalCallBack(callback); });
}

VR_API vr_result VR_CDECL vrSetUserData(vr_handle connection, void* userData) {
    return vrelay::Store(connection, [&](ClientConnection& c) { c.SetUserData(userData); });
}

// Both synchronous forms accept marked-up text: the plain forms are kept for
// applications that name what they send.
VR_API vr_result VR_CDECL vrRenderSpeech(vr_handle connection, const char* text) {
    return vrelay::Render(connection, text, true);
}

VR_API vr_result VR_CDECL vrRenderSpeechXML(vr_handle connection, const char* text) {
    return vrelay::Render(connection, text, true);
}

VR_API vr_result VR_CDECL vrPushSpeechStream(vr_handle connection, const char* text) {
    return vrelay::Render(connection, text, false);
}

VR_API vr_result VR_CDECL vrPushSpeechStreamXML(vr_handle connection, const char* text) {
    return vrelay::Render(connection, text, false);
}

VR_API vr_result VR_CDECL vrFlushSpeechStream(vr_handle connection) {
    return vrelay::Render(connection, "", true);
}

VR_API vr_result VR_CDECL vrFlushSpeechStreamXML(vr_handle connection) {
    return vrelay::Render(connection, "", true);
}

VR_API vr_result VR_CDECL vrRenderSpeechAsync(vr_handle connection, const char* text) {
    return vrelay::RenderAsync(connection, text, false);
}

VR_API vr_result VR_CDECL vrRenderSpeechXMLAsync(vr_handle connection, const char* text) {
    return vrelay::RenderAsync(connection, text, true);
}

VR_API vr_result VR_CDECL vrCancelRequest(vr_handle connection) {
    vrelay::CallRules rules;
    rules.unknownWarning = "WARNING: bad handle.\n";
    return vrelay::OnConnection(
        connection, [](ClientConnection& c) { return vrelay::Cancel(c); }, rules);
}

}  // extern "C"
