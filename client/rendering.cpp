// Rendering: synchronous, streamed and asynchronous requests, cancellation and
// the callback setters.
//
// Every request runs the same step (RenderStep) with the connection's lock
// held: on the caller's thread for the synchronous calls, on the connection's
// worker thread for the asynchronous ones.
#include <cstdio>
#include <memory>
#include <string>

#include "client/handles.h"
#include "client/voice_switch.h"
#include <vrelay/vrelay.h>
#include "platform/clock.h"

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

void Warn(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
}

// The request step. The caller holds connection->Lock() (once, or more
// often when called from a callback on the request's own thread).
vr_result RenderStep(ThreadedConnection* connection, vr_handle handle, const char* text, bool wait,
                     bool xml, bool final) {
    if (!LookupConnection(handle)) {
        return VR_BAD_HANDLE;
    }
    if (connection->m_workerRunning.load()) {
        if (connection->m_inRequest.load()) {
            // Called from a callback of the worker's running request: it
            // cannot wait for itself.
            connection->MarkStarted();
            return VR_BUSY;
        }
        if (wait && !connection->Worker().IsCurrent()) {
            // Let the worker take the lock for its request, then wait for
            // the thread to end.
            connection->Lock().Unlock();
            connection->MarkStarted();
            connection->JoinWorker();
            connection->m_inRequest.store(false);
            connection->Lock().Lock();
        }
    }

    const int32_t mode = connection->RequestMode();
    if (mode != 0 && ((mode == 1) != xml)) {
        // A stream of the other kind is open: end it first. Its answer is
        // read here, so that every later wait reads its own answer.
        connection->m_inRequest.store(true);
        connection->SetQuitFlag(false);
        connection->MarkStarted();
        if (!connection->SendText("", mode == 1, true)) {
            connection->m_inRequest.store(false);
            return VR_SEND_FAILED;
        }
        if (!connection->WaitForEndPacket()) {
            connection->m_inRequest.store(false);
            return VR_ERROR;
        }
    }

    connection->m_inRequest.store(true);
    connection->SetQuitFlag(false);
    connection->MarkStarted();
    if (!connection->SendText(text, xml, final)) {
        connection->m_inRequest.store(false);
        return VR_SEND_FAILED;
    }
    if (connection->InputLength() == 0 && !final) {
        connection->m_inRequest.store(false);
        return VR_SUCCESS;
    }
    if (!connection->WaitForEndPacket()) {
        connection->m_inRequest.store(false);
        return VR_ERROR;
    }
    const bool cancelled = connection->GetQuitFlag();
    connection->m_inRequest.store(false);
    return cancelled ? VR_CANCELLED : VR_SUCCESS;
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

vr_result RenderSync(vr_handle handle, const char* text, bool final) {
    auto connection = LookupConnection(handle);
    if (!connection) {
        return VR_BAD_HANDLE;
    }
    ScopedLock lock(connection->Lock());
    return RenderStep(connection.get(), handle, text ? text : "", true, true, final);
}

void ThreadProcedure(WorkerContext* raw) {
    std::unique_ptr<WorkerContext> context(raw);
    ThreadedConnection* connection = context->connection;
    if (!LookupConnection(context->handle)) {
        connection->MarkStarted();
        return;
    }
    ScopedLock lock(connection->Lock());
    RenderStep(connection, context->handle, context->text.c_str(), false, context->xml,
               context->final);
    // The launcher must be released even when the step gave up early.
    connection->MarkStarted();
    // In-request stays set through the completion event, so that a render
    // started from inside that callback gets VR_BUSY instead of waiting for
    // this very thread.
    connection->m_completing.store(true);
    connection->m_inRequest.store(true);
    connection->FireEvent(PACKET_REQUEST_DONE);
    connection->m_inRequest.store(false);
    connection->m_completing.store(false);
}

vr_result RenderAsync(vr_handle handle, const char* text, bool xml) {
    auto connection = LookupConnection(handle);
    if (!connection) {
        return VR_BAD_HANDLE;
    }
    if (connection->Lock().HeldByCurrentThread()) {
        // From a callback of a request on this thread: a worker could never
        // take the lock this thread holds.
        return VR_BUSY;
    }
    std::lock_guard<std::mutex> launching(connection->LaunchMutex());
    if (connection->m_workerRunning.load()) {
        // Busy while the worker runs its request; once it only delivers its
        // completion, wait for it to end, so that a render issued as soon as
        // PACKET_REQUEST_DONE arrives on another thread is accepted.
        if (connection->m_inRequest.load() && !connection->m_completing.load()) {
            return VR_BUSY;
        }
        connection->JoinWorker();
        connection->m_inRequest.store(false);
    }
    auto context = std::make_unique<WorkerContext>();
    {
        ScopedLock lock(connection->Lock());
        connection->SetQuitFlag(false);
        context->text = text ? text : "";
        context->connection = connection.get();
        context->handle = handle;
        context->final = true;
        context->xml = xml;
    }
    connection->ClearStarted();
    // Set before the start: the worker may run its whole request before this
    // thread is scheduled again, and its callbacks must see it as running.
    connection->m_workerRunning.store(true);
    WorkerContext* raw = context.release();
    if (!connection->Worker().Start([raw] { ThreadProcedure(raw); })) {
        connection->m_workerRunning.store(false);
        delete raw;
        return VR_ERROR;
    }
    connection->WaitStarted();
    return VR_SUCCESS;
}

}  // namespace
}  // namespace vrelay

using vrelay::LookupConnection;
using vrelay::ThreadedConnection;

extern "C" {

VR_API vr_result VR_CDECL vrSetCallBack(vr_handle connection, vrCallBack callback) {
    return vrelay::WithConnection(connection,
                                  [&](ThreadedConnection& c) { c.SetCallBack(callback); });
}

VR_API vr_result VR_CDECL vrSetPascalCallBack(vr_handle connection, vrPascalCallBack callback) {
    return vrelay::WithConnection(connection,
                                  [&](ThreadedConnection& c) { c.SetPascalCallBack(callback); });
}

VR_API vr_result VR_CDECL vrSetUserData(vr_handle connection, void* userData) {
    return vrelay::WithConnection(connection,
                                  [&](ThreadedConnection& c) { c.SetUserData(userData); });
}

// Both synchronous forms accept marked-up text: the plain forms are kept for
// applications that name what they send.
VR_API vr_result VR_CDECL vrRenderSpeech(vr_handle connection, const char* text) {
    return vrelay::RenderSync(connection, text, true);
}

VR_API vr_result VR_CDECL vrRenderSpeechXML(vr_handle connection, const char* text) {
    return vrelay::RenderSync(connection, text, true);
}

VR_API vr_result VR_CDECL vrPushSpeechStream(vr_handle connection, const char* text) {
    return vrelay::RenderSync(connection, text, false);
}

VR_API vr_result VR_CDECL vrPushSpeechStreamXML(vr_handle connection, const char* text) {
    return vrelay::RenderSync(connection, text, false);
}

VR_API vr_result VR_CDECL vrFlushSpeechStream(vr_handle connection) {
    return vrelay::RenderSync(connection, "", true);
}

VR_API vr_result VR_CDECL vrFlushSpeechStreamXML(vr_handle connection) {
    return vrelay::RenderSync(connection, "", true);
}

VR_API vr_result VR_CDECL vrRenderSpeechAsync(vr_handle connection, const char* text) {
    return vrelay::RenderAsync(connection, text, false);
}

VR_API vr_result VR_CDECL vrRenderSpeechXMLAsync(vr_handle connection, const char* text) {
    return vrelay::RenderAsync(connection, text, true);
}

VR_API vr_result VR_CDECL vrCancelRequest(vr_handle connection) {
    auto old = LookupConnection(connection);
    if (!old) {
        vrelay::Warn("WARNING: bad handle.\n");
        return VR_BAD_HANDLE;
    }
    old->SetQuitFlag(true);
    // Wait for the running request to leave its step.
    for (;;) {
        old->Lock().Lock();
        const bool inRequest = old->m_inRequest.load();
        old->Lock().Unlock();
        if (!inRequest) {
            break;
        }
        vrelay::SleepMilliseconds(1);
    }
    const vr_result closed = vrCloseConnection(connection);
    if (closed != VR_SUCCESS) {
        vrelay::Warn("WARNING: could not close the connection!\n");
        return closed;
    }
    const std::string host = old->Host();
    const int port = old->Port();
    auto fresh = std::make_shared<ThreadedConnection>(old.get());
    auto replaced = vrelay::Connections().Replace(connection, fresh);
    // The old object stops here, on this thread, and lives on only while
    // another thread still holds it.
    old->Shutdown();
    old.reset();
    replaced.reset();
    fresh->SetRequestMode(0);

    if (!LookupConnection(connection)) {
        return VR_BAD_HANDLE;
    }
    try {
        if (!fresh->Connect(host.c_str(), port)) {
            return VR_CONNECT_FAILED;
        }
    } catch (const char*) {
        return VR_CONNECT_FAILED;
    }
    vrelay::InstallVoiceSwitch(connection);
    return VR_SUCCESS;
}

}  // extern "C"
