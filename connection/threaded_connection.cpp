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
    JoinWorker();
}

void ThreadedConnection::JoinWorker() {
    if (m_worker.IsCurrent()) {
        return;
    }
    if (m_worker.Joinable()) {
        m_worker.Join();
    }
    m_workerRunning.store(false);
}

void ThreadedConnection::ClearStarted() {
    std::lock_guard<std::mutex> guard(m_startMutex);
    m_started.store(false);
}

void ThreadedConnection::MarkStarted() {
    std::lock_guard<std::mutex> guard(m_startMutex);
    m_started.store(true);
    m_startChanged.notify_all();
}

void ThreadedConnection::WaitStarted() {
    std::unique_lock<std::mutex> guard(m_startMutex);
    m_startChanged.wait(guard, [this] { return m_started.load(); });
}

}  // namespace vrelay
