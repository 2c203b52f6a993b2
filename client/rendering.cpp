// SPDX-License-Identifier: MIT
// Rendering: synchronous, streamed and asynchronous requests, cancellation and
// the callback setters.
//
// Every request runs the same step (RunRequest) with the connection's lock
// held: on the caller's thread for the synchronous calls, on the connection's
// worker thread for the asynchronous ones.
#include <vrelay/vrelay.h>

#include <memory>
#include <string>

#include "client/handles.h"
#include "client/voice_switch.h"

namespace vrelay {
namespace {

// What the worker thread of an asynchronous render needs; freed by the worker.
struct WorkerContext {
    std::string text;
    ThreadedConnection* connection;  // alive until the worker is joined
    vr_handle handle;
    bool final;
    bool xml;
};

// Submits text and reads its answer. The caller holds the connection lock
// and has begun the request in the connection's RequestState. onWorker: the
// asynchronous worker runs it, and its launcher is released once the quit
// flag is cleared, so that a cancel issued after the launch returned is never
// undone here.
vr_result RunRequest(ThreadedConnection* connection, const char* text, bool xml, bool final,
                     bool onWorker) {
    const int32_t mode = connection->RequestMode();
    connection->BeginRequest();
    // A cancel or destroy that began after this request did set the quit flag
    // that BeginRequest just cleared: stoppers set their stop reason first, so
    // looking at it now restores the flag whatever the interleaving.
    if (connection->State().Stopping()) {
        connection->SetQuitFlag(true);
    }
    if (onWorker) {
        connection->State().TakenOver();
    }
    // A failed answer is the server's failure; a send the quit flag woke is
    // the cancel's doing.
    auto failed = [connection]() -> vr_result {
        if (connection->Failure() == Connection::RequestFailure::kReply) {
            return VR_ERROR;
        }
        return connection->GetQuitFlag() ? VR_CANCELLED : VR_SEND_FAILED;
    };
    if (mode != 0 && ((mode == 1) != xml)) {
        // A stream of the other kind is open: end it first. Its answer is
        // read here, so that every later wait reads its own answer.
        if (!connection->SendText("", mode == 1, true)) {
            return failed();
        }
        if (!connection->WaitForEndPacket()) {
            return VR_ERROR;
        }
    }
    const bool sent = connection->SendText(text, xml, final);
    if (!sent || connection->Failure() == Connection::RequestFailure::kReply) {
        return failed();  // also an answer read while the pieces went out
    }
    if (connection->InputLength() == 0 && !final) {
        return VR_SUCCESS;
    }
    if (!connection->WaitForEndPacket() ||
        connection->Failure() != Connection::RequestFailure::kNone) {
        return VR_ERROR;
    }
    return connection->GetQuitFlag() ? VR_CANCELLED : VR_SUCCESS;
}

vr_result RenderSync(vr_handle handle, const char* text, bool final) {
    auto connection = LookupConnection(handle);
    if (!connection) {
        return VR_BAD_HANDLE;
    }
    if (InsideOwnRequest(*connection)) {
        return VR_BUSY;
    }
    ScopedLock lock(connection->Lock());
    if (connection->State().HasWorker()) {
        // An asynchronous request was launched: let it run and its thread
        // end before this one starts.
        connection->Lock().Unlock();
        connection->State().JoinWorker();
        connection->Lock().Lock();
    }
    RequestScope request(connection->State());
    if (request.Stopped() != RequestState::Stop::kNone) {
        return StoppedResult(request.Stopped());
    }
    return RunRequest(connection.get(), text ? text : "", true, final, false);
}

void ThreadProcedure(WorkerContext* raw) noexcept {
    std::unique_ptr<WorkerContext> context(raw);
    ThreadedConnection* connection = context->connection;
    RequestState& state = connection->State();
    try {
        if (LookupConnection(context->handle)) {
            ScopedLock lock(connection->Lock());
            // The request stays open through the completion event, so that a
            // launch from another thread meanwhile gets VR_BUSY.
            RequestScope request(state);
            if (request.Stopped() != RequestState::Stop::kDestroy) {
                if (request.Stopped() == RequestState::Stop::kNone) {
                    RunRequest(connection, context->text.c_str(), context->xml, context->final,
                               true);
                }
                state.TakenOver();
                connection->FireEvent(PACKET_REQUEST_DONE);
                state.CompletionDelivered();
            }
        }
    } catch (...) {
        // Out of memory in the request: it ends like a failed one.
    }
    context.reset();
    state.WorkerDone();
}

vr_result RenderAsync(vr_handle handle, const char* text, bool xml) {
    auto connection = LookupConnection(handle);
    if (!connection) {
        return VR_BAD_HANDLE;
    }
    if (InsideOwnRequest(*connection)) {
        // A worker could never take the lock this thread holds.
        return VR_BUSY;
    }
    auto context = std::make_unique<WorkerContext>();
    context->text = text ? text : "";
    context->connection = connection.get();
    context->handle = handle;
    context->final = true;
    context->xml = xml;
    WorkerContext* raw = context.get();
    switch (connection->State().LaunchWorker([raw] { ThreadProcedure(raw); })) {
        case RequestState::Launch::kStarted:
            context.release();  // the worker frees it
            return VR_SUCCESS;
        case RequestState::Launch::kBusy:
            return VR_BUSY;
        case RequestState::Launch::kFailed:
        default:
            return VR_ERROR;
    }
}

// The setters: store a value without the connection lock, so that they work
// at any time, also from a callback.
template <typename Set>
vr_result WithConnection(vr_handle handle, Set set) {
    auto connection = LookupConnection(handle);
    if (!connection) {
        return VR_BAD_HANDLE;
    }
    set(*connection);
    return VR_SUCCESS;
}

// Stops the running request and rebuilds the connection under the same
// handle. Requests that wait behind the cancelled one on other threads are
// refused with VR_CANCELLED; later ones run on the rebuilt connection.
vr_result Cancel(vr_handle handle) {
    auto old = LookupConnection(handle);
    if (!old) {
        Warn("WARNING: bad handle.\n");
        return VR_BAD_HANDLE;
    }
    if (InsideOwnRequest(*old)) {
        return VR_BUSY;  // the request cannot end while its callback runs
    }
    old->State().BeginStop(RequestState::Stop::kCancel);
    old->SetQuitFlag(true);
    old->State().WaitUntilNoRequest();

    std::shared_ptr<ThreadedConnection> fresh;
    {
        ScopedLock lock(old->Lock());
        if (!old->IsConnected()) {
            // Not open: nothing changes, the quit flag included, or the next
            // request would stop before reading its answer. (Unless another
            // cancel has just replaced this object: then it stays stopped for
            // good.)
            if (LookupConnection(handle) == old) {
                old->SetQuitFlag(false);
                old->State().EndStop();
            }
            Warn("WARNING: could not close the connection!\n");
            return VR_SEND_FAILED;
        }
        // A stream the server reset cannot take PACKET_CLOSE: it is dropped
        // and rebuilt all the same, which is what a cancel is for.
        old->CloseStreamSocket();
        old->Close();
        fresh = std::make_shared<ThreadedConnection>(old.get());
        fresh->SetRequestMode(0);
        // Held until the new connection is open, so that a request that
        // finds it in the table waits for the reconnect.
        fresh->Lock().Lock();
        if (!Connections().Replace(handle, fresh)) {
            fresh->Lock().Unlock();
            return VR_BAD_HANDLE;  // destroyed meanwhile
        }
    }
    // The old object stops here, on this thread, and lives on only while
    // another thread still holds it.
    old->Shutdown();
    old.reset();

    const bool connected = fresh->Connect(fresh->Host().c_str(), fresh->Port());
    if (connected) {
        InstallVoiceSwitch(*fresh);
    }
    fresh->Lock().Unlock();
    return connected ? VR_SUCCESS : VR_CONNECT_FAILED;
}

}  // namespace
}  // namespace vrelay

using vrelay::NoThrow;
using vrelay::ThreadedConnection;

extern "C" {

VR_API vr_result VR_CDECL vrSetCallBack(vr_handle connection, vrCallBack callback) {
    return NoThrow(VR_ERROR, [&] {
        return vrelay::WithConnection(connection,
                                      [&](ThreadedConnection& c) { c.SetCallBack(callback); });
    });
}

VR_API vr_result VR_CDECL vrSetPascalCallBack(vr_handle connection, vrPascalCallBack callback) {
    return NoThrow(VR_ERROR, [&] {
        return vrelay::WithConnection(
            connection, [&](ThreadedConnection& c) { c.SetPascalCallBack(callback); });
    });
}

VR_API vr_result VR_CDECL vrSetUserData(vr_handle connection, void* userData) {
    return NoThrow(VR_ERROR, [&] {
        return vrelay::WithConnection(connection,
                                      [&](ThreadedConnection& c) { c.SetUserData(userData); });
    });
}

// Both synchronous forms accept marked-up text: the plain forms are kept for
// applications that name what they send.
VR_API vr_result VR_CDECL vrRenderSpeech(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, text, true); });
}

VR_API vr_result VR_CDECL vrRenderSpeechXML(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, text, true); });
}

VR_API vr_result VR_CDECL vrPushSpeechStream(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, text, false); });
}

VR_API vr_result VR_CDECL vrPushSpeechStreamXML(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, text, false); });
}

VR_API vr_result VR_CDECL vrFlushSpeechStream(vr_handle connection) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, "", true); });
}

VR_API vr_result VR_CDECL vrFlushSpeechStreamXML(vr_handle connection) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderSync(connection, "", true); });
}

VR_API vr_result VR_CDECL vrRenderSpeechAsync(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderAsync(connection, text, false); });
}

VR_API vr_result VR_CDECL vrRenderSpeechXMLAsync(vr_handle connection, const char* text) {
    return NoThrow(VR_ERROR, [&] { return vrelay::RenderAsync(connection, text, true); });
}

VR_API vr_result VR_CDECL vrCancelRequest(vr_handle connection) {
    return NoThrow(VR_ERROR, [&] { return vrelay::Cancel(connection); });
}

}  // extern "C"
