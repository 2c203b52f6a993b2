// SPDX-License-Identifier: MIT
#include "connection/threaded_connection.h"

namespace vrelay {

ThreadedConnection::ThreadedConnection() = default;

ThreadedConnection::ThreadedConnection(ThreadedConnection* other) {
    SetCallBack(other->GetCallBack());
    SetPascalCallBack(other->GetPascalCallBack());
    SetUserData(other->GetUserData());
    m_host = other->m_host;
    m_port = other->m_port;
    m_requestMode = other->m_requestMode;
    m_lexer.CopyProsodyFrom(other->m_lexer);
}

ThreadedConnection::~ThreadedConnection() {
    Shutdown();
}

void ThreadedConnection::Shutdown() {
    SetQuitFlag(true);
    m_state.JoinWorker();
}

bool ThreadedConnection::UsableInForkedChild() {
    if (!m_lock.TryLock()) {
        return false;
    }
    const bool idle = m_state.IdleInForkedChild();
    m_lock.Unlock();
    return idle;
}

}  // namespace vrelay
