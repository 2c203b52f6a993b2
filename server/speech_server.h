// The reference speech server, embeddable: listens on a TCP port and serves
// each client on a thread of its own (see server/protocol.h for what it says).
#ifndef VRELAY_SERVER_SPEECH_SERVER_H
#define VRELAY_SERVER_SPEECH_SERVER_H

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/engine.h"
#include "server/session.h"
#include "transport/socket.h"

namespace vrelay {
namespace server {

struct ServerOptions {
    // Loopback only unless told otherwise: the server has no authentication.
    std::string listen_address = "127.0.0.1";
    int port = 0;                   // 0: a free port, see SpeechServer::Port()
    std::string engine = "espeak";  // "espeak" or "tone"
    std::string voice;              // the sessions' first voice; "" for the engine's default
    int max_sessions = 64;          // further clients are disconnected at once
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
    // The port bound (after Start), else 0.
    int Port() const { return port_; }
    // Stops accepting, ends every session (their pending sends and receives
    // fail at once) and joins all threads. Idempotent.
    void Stop();
    // Sessions whose thread has not finished yet.
    int ActiveSessions();

  private:
    struct Slot {
        std::unique_ptr<Session> session;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    // Joins and removes finished sessions; returns how many are still running.
    int Reap();

    ServerOptions options_;
    std::unique_ptr<Engine> engine_;
    std::string voice_;
    std::unique_ptr<SocketServer> listener_;
    WakeSignal wake_;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;
    std::mutex slots_mutex_;
    std::list<std::unique_ptr<Slot>> slots_;
    int next_id_ = 1;
    int port_ = 0;
    bool started_ = false;
};

}  // namespace server
}  // namespace vrelay

#endif
