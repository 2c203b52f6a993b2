// SPDX-License-Identifier: GPL-3.0-or-later
// The server's health check: a port of its own, apart from the sessions,
// where a load balancer or a monitor asks whether the server can speak.
//
// It answers HTTP/1.0 "GET /health" (or "/", or HEAD) with "200 OK" once the
// engine has spoken a probe word, and with "503 Service Unavailable" and the
// reason when it could not within kProbeMs. The answer does not depend on the
// sessions: a full server that speaks is healthy, so a proxy queues clients
// for it instead of taking it out. The probe goes before every queued
// request (see UnitSink::Urgent), so it waits at most for the units that are
// being synthesised; one probe answers every check that comes within
// kReuseMs of it. To the engine a probe is a request like any other (a
// server with one session, whose units go to workers chosen from their text
// for the same audio every time, sees it as a second client's).
//
// One thread serves every check, reading their requests without blocking, at
// most kMaxChecks connections at once (a further one closes the oldest); a
// check's request must be whole within kRequestMs. Nothing of it counts
// against the sessions' limits, and a flood of checks costs one probe every
// kReuseMs.
#ifndef VRELAY_SERVER_HEALTH_CHECK_H
#define VRELAY_SERVER_HEALTH_CHECK_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "server/engine.h"
#include "transport/socket.h"

namespace vrelay {
namespace server {

class HealthCheck {
  public:
    static constexpr int kProbeMs = 1500;
    static constexpr int kReuseMs = 500;
    static constexpr int kRequestMs = 2000;
    static constexpr size_t kMaxChecks = 16;

    // engine and voice: what the probe speaks with; engine outlives the
    // object. load: a line on the sessions for the answer ("3 of 64
    // sessions open"), called on the check's thread.
    HealthCheck(Engine* engine, std::string voice, std::function<std::string()> load);
    ~HealthCheck();  // Stop()
    HealthCheck(const HealthCheck&) = delete;
    HealthCheck& operator=(const HealthCheck&) = delete;

    // Listens on address:port (0: a free port) and starts answering. False
    // with *error when the port cannot be bound.
    bool Start(const std::string& address, int port, std::string* error);
    // The port bound (after Start), else 0.
    int Port() const { return port_; }
    // Stops answering and closes every check's connection. Idempotent; must
    // not run while the engine is being destroyed.
    void Stop();

  private:
    struct Check;
    void Loop();
    // The answer's status line and body: from a probe run now, or the last
    // one when it is recent.
    void Probe(bool* healthy, std::string* body);

    Engine* const engine_;
    const std::string voice_;
    const std::function<std::string()> load_;
    std::unique_ptr<SocketServer> listener_;
    WakeSignal stop_;
    std::thread thread_;
    int port_ = 0;
    // The last probe, for checks that come soon after it (the loop's thread only).
    std::chrono::steady_clock::time_point probed_;
    bool last_healthy_ = false;
    std::string last_body_;
};

}  // namespace server
}  // namespace vrelay

#endif
