// SPDX-License-Identifier: MIT
// The library's two global handle tables and the lookups every export starts
// with. Built when the library is loaded and never destroyed; the process's
// exit (or the library's unload) closes and empties them, enumerators first,
// then connections, and every call from then on finds no handle.
#ifndef VRELAY_CLIENT_HANDLES_H
#define VRELAY_CLIENT_HANDLES_H

#include <vrelay/vrelay.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "client/client_connection.h"
#include "client/handle_table.h"
#include "transport/log.h"

namespace vrelay {

class Enumerator;

HandleTable<ClientConnection>& Connections();
HandleTable<Enumerator>& Enumerators();

// Tells the exit handling that the process is ending with every other thread
// already stopped (Windows does so before a DLL's static destructors run at
// the process's end): there is then nothing to stop or wait for, and a lock a
// stopped thread held would never be released, so it leaves everything as it
// is. Called from the DLL's entry point only.
void OtherThreadsAreGone();

inline std::shared_ptr<ClientConnection> LookupConnection(int32_t handle) {
    return Connections().Lookup(handle);
}

// Runs body and returns its result; any exception becomes failure, so that
// nothing thrown inside the library reaches the application.
template <typename Body>
auto NoThrow(decltype(std::declval<Body&>()()) failure, Body body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// What an export does besides its work: the result for a handle not in
// the table (and a warning to print then), whether it also runs from inside
// the connection's own callback, and the result when memory runs out.
struct CallRules {
    vr_result unknown = VR_BAD_HANDLE;
    const char* unknownWarning = nullptr;
    bool fromCallback = false;
    vr_result outOfMemory = VR_ERROR;
};

// The prologue of every export that acts on a connection: looks the handle
// up, refuses with VR_BUSY a call from inside the connection's own request
// (its callback: that request cannot end while the callback runs, so
// nothing that starts, ends or waits for a request can go on), and runs
// body with the connection, which stays alive until body returns.
template <typename Body>
vr_result OnConnection(vr_handle handle, Body body, const CallRules& rules = {}) noexcept {
    return NoThrow(rules.outOfMemory, [&]() -> vr_result {
        const std::shared_ptr<ClientConnection> connection = LookupConnection(handle);
        if (!connection) {
            if (rules.unknownWarning) {
                WriteWarning(rules.unknownWarning);
            }
            return rules.unknown;
        }
        if (!rules.fromCallback && connection->InsideOwnRequest()) {
            return VR_BUSY;
        }
        return body(*connection);
    });
}

// What a request that ran (or was refused) reports. A callback's refusal
// stops a render as a cancel does; a query it stops has failed. A failing
// server is VR_ERROR, never a cancel.
inline vr_result RequestResult(RequestEnd end, bool query) {
    switch (end.stop) {
        case StopReason::kNone:
            return VR_SUCCESS;
        case StopReason::kRefused:
            return query ? VR_ERROR : VR_CANCELLED;
        case StopReason::kSendFailed:
            return VR_SEND_FAILED;
        case StopReason::kAnswerFailed:
            return VR_ERROR;
        case StopReason::kCancel:
            return VR_CANCELLED;
        case StopReason::kDestroy:
            // Requests waiting behind a destroy find their handle gone.
            return end.ran ? VR_CANCELLED : VR_BAD_HANDLE;
    }
    return VR_ERROR;
}

// The library's messages to the application, on standard output unless
// VRELAY_MESSAGES routes them elsewhere.
inline void Warn(const char* message) {
    WriteWarning(message);
}

}  // namespace vrelay

#endif
