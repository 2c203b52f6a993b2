// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/embedded_server.h"

#include <algorithm>
#include <thread>

#include "frontend/exit_codes.h"
#include "server/exit_codes.h"
#include "server/speech_server.h"
#include "transport/log.h"

namespace vrelay {
namespace frontend {

namespace {

// The server's codes mean what the doors' mean where both have them.
constexpr bool Same(vrelay::ExitCode server, ExitCode door) {
    return static_cast<int>(server) == static_cast<int>(door);
}
static_assert(Same(vrelay::kExitUsage, kExitUsage) && Same(vrelay::kExitNoServer, kExitNoServer) &&
                  Same(vrelay::kExitUnknownVoice, kExitUnknownVoice),
              "server/exit_codes.h and frontend/data/exit_codes.tsv disagree");

server::ServerOptions ServerOptionsFor(const EmbeddedServerOptions& options) {
    // The embedded server's sessions would otherwise log every connection.
    if (!options.verbose) {
        FILELog::SetReportingLevel(logWARNING);
    }
    server::ServerOptions server;
    server.engine = options.engine;
    // A worker per core: a long text is synthesised on all of them at once,
    // and an engine that crashes takes only the request with it.
    server.workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's allocator is not locked across a fork, and the
    // program's other threads run while the server starts: a worker could
    // hang. Such builds synthesise in-process.
    server.workers = 0;
#endif
    if (options.maxSessions > 0) {
        server.max_sessions = options.maxSessions;
    }
    if (options.requestTimeoutMs > 0) {
        server.limits.request_timeout_ms = options.requestTimeoutMs;
    }
    return server;
}

}  // namespace

EmbeddedServer::EmbeddedServer(const EmbeddedServerOptions& options)
    : server_(std::make_unique<server::SpeechServer>(ServerOptionsFor(options))) {}

EmbeddedServer::~EmbeddedServer() = default;

bool EmbeddedServer::Start(std::string* error) {
    return server_->Start(error);
}

int EmbeddedServer::Port() const {
    return server_->Port();
}

void EmbeddedServer::Stop() {
    server_->Stop();
}

std::unique_ptr<EmbeddedServer> StartEmbeddedServer(const std::string& engine, bool verbose,
                                                    std::string* error) {
    EmbeddedServerOptions options;
    options.engine = engine;
    options.verbose = verbose;
    auto embedded = std::make_unique<EmbeddedServer>(options);
    if (!embedded->Start(error)) {
        return nullptr;
    }
    return embedded;
}

}  // namespace frontend
}  // namespace vrelay
