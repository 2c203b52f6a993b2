// SPDX-License-Identifier: GPL-3.0-or-later
// The reference speech server started inside a door's process, on a free
// loopback port, when no --server names a running one. The door sees only
// this class: the server's own headers stay behind it.
//
// Doors: vrelay-say starts it on a thread of its own beside the sound server
// and the connection (Start blocks while the engine starts); vrelay-web and
// sd_vrelay call StartEmbeddedServer and connect to 127.0.0.1:Port().
// Threads: Start, Port and Stop from one thread at a time; the server's own
// threads run until Stop or the destructor.
#ifndef VRELAY_FRONTEND_EMBEDDED_SERVER_H
#define VRELAY_FRONTEND_EMBEDDED_SERVER_H

#include <memory>
#include <string>

namespace vrelay {
namespace server {
class SpeechServer;
}
namespace frontend {

struct EmbeddedServerOptions {
    std::string engine = "espeak";  // espeak or tone
    // Unless set, the process's log shows only warnings and errors from the
    // start on (the level is the process's: this sets it for the program).
    bool verbose = false;
    int maxSessions = 0;        // 0: the server's default
    int requestTimeoutMs = 0;   // 0: the server's default
};

class EmbeddedServer {
  public:
    // One synthesis worker process per core (in-process under
    // AddressSanitizer, whose allocator does not survive a fork while other
    // threads run), on 127.0.0.1 and a free port. Nothing runs yet.
    explicit EmbeddedServer(const EmbeddedServerOptions& options);
    ~EmbeddedServer();  // Stop()
    EmbeddedServer(const EmbeddedServer&) = delete;
    EmbeddedServer& operator=(const EmbeddedServer&) = delete;

    // Starts the engine and listens. False with *error when it cannot.
    bool Start(std::string* error);
    // The port once started; 0 before.
    int Port() const;
    // Closes every session and ends the server's threads. Idempotent.
    void Stop();

  private:
    std::unique_ptr<server::SpeechServer> server_;
};

// An EmbeddedServer for engine, started; null with *error when it cannot start.
std::unique_ptr<EmbeddedServer> StartEmbeddedServer(const std::string& engine, bool verbose,
                                                    std::string* error);

}  // namespace frontend
}  // namespace vrelay

#endif
