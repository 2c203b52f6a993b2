// SPDX-License-Identifier: GPL-3.0-or-later
// The reference speech server, embeddable: listens on a TCP port and serves
// each client on a thread of its own (see server/protocol.h for what it says).
#ifndef VRELAY_SERVER_SPEECH_SERVER_H
#define VRELAY_SERVER_SPEECH_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "server/engine.h"
#include "server/health_check.h"
#include "server/session.h"
#include "transport/socket.h"

namespace vrelay {
namespace server {

class WorkerPool;

// "address:port", the address in brackets when it is an IPv6 one
// ("[::1]:5555").
std::string AddressWithPort(const std::string& address, int port);

struct ServerOptions {
    // Loopback only unless told otherwise: the server has no authentication.
    std::string listen_address = "127.0.0.1";
    int port = 0;                   // 0: a free port, see SpeechServer::Port()
    std::string engine = "espeak";  // "espeak" or "tone"
    // The sessions' first voice (as ChooseVoiceName reads it); "" for the
    // engine's default.
    std::string voice;
    // Synthesis worker processes; 0 synthesises on the sessions' threads. A
    // request's units are synthesised on all of them at once.
    int workers = 0;
    // Address space (MiB) each worker may add to what it inherits; 0: no limit.
    long worker_memory_mb = 0;
    // Further clients get "error: server busy" and PACKET_CLOSE. With one,
    // each of its units goes to a worker chosen from the text alone (see
    // WorkerPool), so the same text gives the same audio, and synthesising
    // in-process a unit's first audio leaves before the rest of it is
    // synthesised, as it does from the workers.
    int max_sessions = 64;
    // Sessions one client address may hold at once, 0 for no bound of its
    // own; further clients from it are turned away as above.
    int max_sessions_per_address = 0;
    // Health checks (see HealthCheck) on this port of listen_address, 0 for
    // a free one (see SpeechServer::HealthPort()); negative: none.
    int health_port = -1;
    SessionLimits limits;
};

class SpeechServer {
  public:
    explicit SpeechServer(ServerOptions options);
    ~SpeechServer();  // Stop()
    SpeechServer(const SpeechServer&) = delete;
    SpeechServer& operator=(const SpeechServer&) = delete;

    // Starts the engine, binds and starts accepting. False with *error.
    bool Start(std::string* error);
    // Start failed because no voice matches ServerOptions::voice.
    bool UnknownVoice() const { return unknown_voice_; }
    // The port bound (after Start), else 0.
    int Port() const { return port_; }
    // The health checks' port (after Start), else 0.
    int HealthPort() const { return health_ ? health_->Port() : 0; }
    // Stops accepting, ends every session (their pending sends and receives
    // fail at once) and joins all threads. Idempotent.
    void Stop();
    // Graceful stop: stops accepting, closes sessions waiting between
    // requests, lets running requests (and requests whose text is still
    // coming) finish for up to grace_ms, then ends the rest with the message
    // "error: server shutting down" and PACKET_CLOSE, and Stop()s.
    void Shutdown(int grace_ms);
    // Sessions whose thread has not finished yet.
    int ActiveSessions();
    // Sessions that count against the limits: those that have not begun to
    // close their connection.
    int OpenSessions();
    // Process ids of the synthesis workers (0 for a slot without one); empty
    // without a worker pool.
    std::vector<pid_t> WorkerPids();

  private:
    struct Slot {
        std::string address;  // the client's, without its port
        std::unique_ptr<Session> session;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    // Why a client from address may not have a session now; empty: it may.
    // A session counts until it begins to close its connection: a client
    // that a proxy queued for the server's last free session, sent on as the
    // connection before it closes, finds that session free.
    std::string RefusalLocked(const std::string& address) REQUIRES(slots_mutex_);
    // Starts a session for the client on a thread of its own.
    void ServeLocked(std::unique_ptr<Socket> socket, const std::string& peer,
                     const std::string& address) REQUIRES(slots_mutex_);
    void Refuse(std::unique_ptr<Socket> socket, const std::string& peer, const std::string& why);
    void StopAccepting();
    // Joins and removes finished sessions; returns how many are still running.
    int Reap() REQUIRES(slots_mutex_);
    // Waits until every session has ended or deadline passed: true when all ended.
    bool WaitForSessionsLocked(std::chrono::steady_clock::time_point deadline)
        REQUIRES(slots_mutex_);

    ServerOptions options_;
    std::unique_ptr<Engine> engine_;
    WorkerPool* pool_ = nullptr;  // engine_, when synthesis runs in workers
    std::string voice_;
    std::unique_ptr<SocketServer> listener_;
    std::unique_ptr<HealthCheck> health_;
    WakeSignal wake_;         // raised: every session's wait ends
    WakeSignal accept_wake_;  // raised: the accept loop ends
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;
    Mutex slots_mutex_;
    CondVar session_ended_;  // a session's thread has finished
    std::list<std::unique_ptr<Slot>> slots_ GUARDED_BY(slots_mutex_);
    int next_id_ GUARDED_BY(slots_mutex_) = 1;
    int port_ = 0;
    bool started_ = false;
    bool unknown_voice_ = false;
};

}  // namespace server
}  // namespace vrelay

#endif
