// SPDX-License-Identifier: MIT
#include "client/handles.h"

#ifndef _WIN32
#include <pthread.h>
#endif

#include <atomic>
#include <chrono>
#include <new>
#include <vector>

#include "client/enumerator.h"

namespace vrelay {

namespace {

// How long the process exit waits for asynchronous renders to end.
constexpr std::chrono::seconds kExitGrace{2};

// Set when the process ends with every other thread already gone.
std::atomic<bool> g_threads_gone{false};

struct GlobalTables {
    GlobalTables();
    HandleTable<ClientConnection> connections;
    HandleTable<Enumerator> enumerators;
};

// Built when the library is loaded and never destroyed: when the process
// exits, other threads may still be inside a call, or call in afterwards, and
// must find a table (closed and empty by then), never freed memory. Static
// storage, so that an unloaded library leaves nothing of it behind.
alignas(GlobalTables) unsigned char g_tables_storage[sizeof(GlobalTables)];
GlobalTables& g_tables = *new (g_tables_storage) GlobalTables();

// Connections that must never be destroyed: a thread that cannot be joined
// may still use them. Kept reachable, so that leak checkers see them kept.
void KeepForever(std::shared_ptr<ClientConnection> connection) {
    static auto* kept = new std::vector<std::shared_ptr<ClientConnection>>();
    try {
        kept->push_back(std::move(connection));
    } catch (...) {
        (void)new (std::nothrow) std::shared_ptr<ClientConnection>(std::move(connection));
    }
}

#ifndef _WIN32
// Both tables are held across fork(), so that the child's copies are whole.
void BeforeFork() NO_THREAD_SAFETY_ANALYSIS {
    g_tables.connections.LockForFork();
    g_tables.enumerators.LockForFork();
}

void AfterForkInParent() NO_THREAD_SAFETY_ANALYSIS {
    g_tables.enumerators.UnlockAfterFork();
    g_tables.connections.UnlockAfterFork();
}

// A connection that another thread was using at the fork would wait for
// that thread for ever here: its handle goes, and its object is kept.
void AfterForkInChild() NO_THREAD_SAFETY_ANALYSIS {
    AfterForkInParent();
    try {
        for (auto& busy :
             g_tables.connections.RemoveIf([](ClientConnection& c) { return !c.AfterFork(); })) {
            KeepForever(std::move(busy));
        }
    } catch (...) {
        // Out of memory: the busy copies stay (and wait if used).
    }
}
#endif

GlobalTables::GlobalTables() {
#ifndef _WIN32
    ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
#endif
}

// The library's exit handling, run at the process's exit or the library's
// unload. The tables are closed (a later call finds no handle and creates
// nothing), every request is stopped at once, and asynchronous renders get a
// bounded time to end: a callback that does not return keeps its connection
// (never freed) instead of holding the exit for ever. A call under way on
// another thread ends with the connection it holds, which it frees.
struct ExitHandling {
    ~ExitHandling();
};

ExitHandling::~ExitHandling() {
    if (g_threads_gone.load()) {
        return;
    }
    g_tables.enumerators.Close();
    std::vector<std::shared_ptr<ClientConnection>> all = g_tables.connections.Close();
    for (auto& connection : all) {
        connection->StopForExit();
    }
    const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    for (auto& connection : all) {
        if (!connection->WorkerEndedBy(deadline)) {
            KeepForever(std::move(connection));
        }
    }
}

ExitHandling g_exit_handling;

}  // namespace

void OtherThreadsAreGone() {
    g_threads_gone.store(true);
}

HandleTable<ClientConnection>& Connections() {
    return g_tables.connections;
}
HandleTable<Enumerator>& Enumerators() {
    return g_tables.enumerators;
}

}  // namespace vrelay
