// SPDX-License-Identifier: MIT
// The library's two global handle tables and the lookups every export starts
// with. Built when the library is loaded; at unload the enumerators go first,
// then the connections.
#ifndef VRELAY_CLIENT_HANDLES_H
#define VRELAY_CLIENT_HANDLES_H

#include <vrelay/vrelay.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "client/handle_table.h"
#include "connection/threaded_connection.h"
#include "transport/log.h"

namespace vrelay {

class Enumerator;

HandleTable<ThreadedConnection>& Connections();
HandleTable<Enumerator>& Enumerators();

inline std::shared_ptr<ThreadedConnection> LookupConnection(int32_t handle) {
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

// True on the thread that runs a request on connection, that is inside one
// of its callbacks: a call that would start, end or wait for a request there
// gets VR_BUSY, since that request cannot end while the callback runs.
inline bool InsideOwnRequest(ThreadedConnection& connection) {
    return connection.Lock().HeldByCurrentThread();
}

// The result of a request refused because its connection is being stopped.
inline vr_result StoppedResult(RequestState::Stop why) {
    return why == RequestState::Stop::kDestroy ? VR_BAD_HANDLE : VR_CANCELLED;
}

// The library's messages to the application, on standard output unless
// VRELAY_MESSAGES routes them elsewhere.
inline void Warn(const char* message) {
    WriteWarning(message);
}

}  // namespace vrelay

#endif
