// SPDX-License-Identifier: GPL-3.0-or-later
// Where a render worker's connections to the speech server come from: a
// pool of them, shared by every worker that is given it, or a worker's own
// pool of one.
//
// A worker takes a connection for a request (or a Connect, Voices or
// CheckVoice call) and gives it back once the answer is complete, so a
// worker with nothing to render holds none and the server sees at most
// `size` sessions from the pool, however many workers share it. A worker
// that finds them all taken waits its turn (first come, first served).
// Connections are made when first needed and closed when unused for a while
// (CloseIdle).
//
// A connection carries what is known of its server session (ServerConnection
// below). The pool only reads it, to prefer for a voice an idle connection
// that already has it; the render worker that holds the connection opens it,
// reopens it after a failure, selects its voice and cancels its request (one
// mechanism for every door: frontend/render_worker.cpp).
//
// Doors: vrelay-web makes one pool for all its browser tabs and hands it to
// each tab's render worker (WorkerOptions::pool), sweeps it with CloseIdle and
// ends it with Close at SIGTERM; vrelay-say and sd_vrelay leave it to the
// worker, which makes its own pool of one.
//
// Every function may be called from any thread.
#ifndef VRELAY_FRONTEND_CONNECTION_POOL_H
#define VRELAY_FRONTEND_CONNECTION_POOL_H

#include <vrelay/vrelay.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frontend/voice_choice.h"
#include "transport/address.h"

namespace vrelay {
namespace frontend {

// One connection and what is known of its server session. Written only by
// the render worker that holds it.
struct ServerConnection {
    vr_handle handle = -1;   // made by the pool when first taken
    bool connected = false;  // opened, and not known to have failed since
    std::string address;     // HOST:PORT of the session opened last
    bool broken = false;     // a refused or failed answer left the stream unread
    std::optional<std::vector<VoiceEntry>> voices;  // read once per session
    std::string selected;    // the voice selected as asked for, "" the server's default
    bool voiceKnown = true;  // false once markup switched voices inside a request
};

class ConnectionPool {
  public:
    using Clock = std::chrono::steady_clock;

    // size connections at most (at least one) to host:port, or to the first
    // of fallbacks that answers when it does not; idleSeconds 0: CloseIdle
    // closes none.
    ConnectionPool(std::string host, int port, int size, int idleSeconds = 0,
                   std::vector<HostPort> fallbacks = {});
    // Destroys every connection; every one taken must have been given back.
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const std::vector<HostPort>& Fallbacks() const { return fallbacks_; }

    // A connection for the caller alone until it gives it back: an idle one
    // whose session has voice selected (as SpeechJob::voice names it), else
    // one not made yet, else the most recently used. Waits while all are
    // taken, in order of arrival; null once stopped() is true (it is asked
    // again whenever Wake is called) or the pool is closing. stopped() is
    // called with the pool's lock held: it must not call the pool.
    ServerConnection* Take(const std::string& voice, const std::function<bool()>& stopped);
    // Gives back a connection Take gave; no request may run on it.
    void Give(ServerConnection* connection);
    // Makes every waiting Take ask its stopped() again.
    void Wake();
    // Destroys the connections given back idleSeconds or more before now.
    void CloseIdle(Clock::time_point now);
    // For shutdown: no connection is given from now on, and the request of
    // every connection taken is cancelled, again and again, until all are
    // given back (true) or the deadline passes (false).
    bool Close(Clock::time_point deadline);

  private:
    struct Slot {
        ServerConnection connection;
        bool taken = false;
        Clock::time_point lastUse;
    };
    // The best slot for voice among those not taken; false when all are.
    bool Choose(const std::string& voice, size_t* chosen) const;

    const std::string host_;
    const int port_;
    const std::vector<HostPort> fallbacks_;
    const std::chrono::seconds idle_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;     // never resized: connections are handed out by address
    std::deque<uint64_t> queue_;  // tickets of the Takes waiting, oldest first
    uint64_t next_ticket_ = 0;
    bool closing_ = false;
};

}  // namespace frontend
}  // namespace vrelay

#endif
