// SPDX-License-Identifier: GPL-3.0-or-later
// The bridge's connections to the speech server, shared by every browser tab.
// A tab takes one for each request it submits and gives it back once the
// request's answer is complete, so a tab that is not speaking holds none and
// the server sees at most `size` sessions from the bridge, however many tabs
// are open. A tab that finds them all taken waits its turn (first come, first
// served). Connections are opened when first needed and closed when unused
// for a while (CloseIdle).
//
// A connection carries the voice selected on its server session. Take prefers
// an idle connection that already has the voice wanted, and Lease::Prepare
// puts the connection it gives in that voice: selected by name, or for the
// server's default voice a fresh session. A cancelled request and a failed
// one leave a fresh session behind (the library reconnects on a cancel; a
// failed connection is opened again on its next use), whose voice is the
// default again.
//
// Every function may be called from any thread. The callback given is set on
// every connection; a lease sets its user data.
#ifndef VRELAY_WEB_SERVER_POOL_H
#define VRELAY_WEB_SERVER_POOL_H

#include <vrelay/vrelay.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vrelay {
namespace web {

class ServerPool {
  public:
    using Clock = std::chrono::steady_clock;

    // One connection, taken for one request; given back when destroyed.
    // Used by the thread that took it.
    class Lease {
      public:
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        vr_handle Handle() const;
        // Opens the connection if it is not open, points its callback at
        // user, and selects voice on it as the page names it, for the server
        // to choose ("" for the server's default, "+f3" that with a variant). A
        // connection the server has closed meanwhile is opened again once.
        // False with *error when it cannot be done.
        bool Prepare(const std::string& voice, void* user, std::string* error);
        // Cancels the request running on it (vrCancelRequest).
        void Cancel();
        // The request failed: the connection is opened afresh before its next
        // use, whatever state the stream was left in.
        void Discard();

      private:
        friend class ServerPool;
        Lease(ServerPool* pool, size_t slot) : pool_(pool), slot_(slot) {}
        bool Open();

        ServerPool* const pool_;
        const size_t slot_;
    };

    ServerPool(std::string host, int port, int size, int idleSeconds, vrCallBack callback);
    // Destroys every connection; every lease must have been given back.
    ~ServerPool();
    ServerPool(const ServerPool&) = delete;
    ServerPool& operator=(const ServerPool&) = delete;

    // A connection for one request, preferring one that has voice. Waits
    // while all are taken; null once stopped() is true (it is asked again
    // whenever Wake is called) or the pool is closing. stopped() is called
    // with the pool's lock held: it must not call the pool.
    std::unique_ptr<Lease> Take(const std::string& voice, const std::function<bool()>& stopped);
    // Makes every waiting Take ask its stopped() again.
    void Wake();
    // Closes the connections unused since idleSeconds before now.
    void CloseIdle(Clock::time_point now);
    // For shutdown: no connection is given from now on, and the request of
    // every connection taken is cancelled, again and again, until all are
    // given back (true) or the deadline passes (false).
    bool Close(Clock::time_point deadline);
    // "HOST:PORT", for messages.
    std::string Address() const { return host_ + ":" + std::to_string(port_); }

  private:
    struct Slot {
        vr_handle handle = -1;  // -1: not made
        bool taken = false;
        bool open = false;       // written by the lease holder only
        std::string voice;       // selected on the server session; "" the default
        bool voiceKnown = true;  // false: voice is not known to be selected
        Clock::time_point lastUse;
    };
    void Give(size_t slot);
    bool Closing();

    const std::string host_;
    const int port_;
    const std::chrono::seconds idle_;
    const vrCallBack callback_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::deque<uint64_t> queue_;  // tickets of the Takes waiting, oldest first
    uint64_t nextTicket_ = 0;
    bool closing_ = false;
};

}  // namespace web
}  // namespace vrelay

#endif
