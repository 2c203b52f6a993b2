// SPDX-License-Identifier: GPL-3.0-or-later
// The browser sessions (tabs) the bridge serves, by the token each page
// makes up when it loads, within two limits: sessions in all and sessions
// per client address. A tab's speech is a render worker of the core on the
// bridge's shared connection pool (one job at a time: a new SPEAK stops the
// last). A session no WebSocket has used for idleSeconds is closed; when a
// limit is reached, the idle session of that address (or of any address)
// unused the longest makes room for a new one. An idle session holds no
// server connection (they are the pool's), so closing one frees nothing on
// the server.
//
// Used from one thread at a time (the network thread; at shutdown the one
// that stops everything). Closed sessions end their threads in the
// background; Sweep lets go of those that have ended, and the destructor
// waits for them.
#ifndef VRELAY_WEB_SESSION_REGISTRY_H
#define VRELAY_WEB_SESSION_REGISTRY_H

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frontend/connection_pool.h"
#include "frontend/render_worker.h"

namespace vrelay {
namespace web {

struct SessionLimits {
    int maxSessions = 64;
    int maxPerAddress = 4;
    int idleSeconds = 120;
};

class SessionRegistry {
  public:
    using Clock = std::chrono::steady_clock;

    // The sessions take their server connections from pool, which must
    // outlive the registry.
    // resume: a tab's text goes on after its server failed mid-text.
    SessionRegistry(frontend::ConnectionPool* pool, SessionLimits limits, bool resume = true)
        : pool_(pool), limits_(limits), resume_(resume) {}
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    // Whether token may name a session: 16 to 64 letters, digits, '-', '_'.
    static bool ValidToken(const std::string& token);

    // The session of token, made if new, with one more WebSocket attached.
    // A token is bound to the address that made it. Null with *reason when
    // a limit refuses.
    std::shared_ptr<frontend::RenderWorker> Attach(const std::string& token, const std::string& address,
                                           Clock::time_point now, std::string* reason);
    // One WebSocket of token's session has closed.
    void Detach(const std::string& token, Clock::time_point now);
    // Closes sessions idle too long and lets go of ended ones.
    void Sweep(Clock::time_point now);
    // Closes every session, without waiting for their threads.
    void CloseAll();
    int Sessions() const { return static_cast<int>(sessions_.size()); }

  private:
    struct Entry {
        std::string address;
        std::shared_ptr<frontend::RenderWorker> session;
        int sockets = 0;
        Clock::time_point lastUse;
    };
    // Closes the idle entry unused the longest among those of address ("":
    // any); false when there is none.
    bool Evict(const std::string& address);
    void Retire(std::map<std::string, Entry>::iterator entry);

    frontend::ConnectionPool* const pool_;
    const SessionLimits limits_;
    const bool resume_;
    std::map<std::string, Entry> sessions_;
    std::vector<std::shared_ptr<frontend::RenderWorker>> closing_;
};

}  // namespace web
}  // namespace vrelay

#endif
