// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/embedded_server.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "transport/log.h"

namespace vrelay {
namespace tools {

bool SplitHostPort(const std::string& server, std::string* host, int* port) {
    const size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == server.size()) {
        return false;
    }
    *host = server.substr(0, colon);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    char* end = nullptr;
    const long value = std::strtol(server.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || value <= 0 || value > 65535) {
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

server::ServerOptions EmbeddedServerOptions(const std::string& engine, bool verbose) {
    // The embedded server's sessions would otherwise log every connection.
    if (!verbose) {
        FILELog::SetReportingLevel(logWARNING);
    }
    server::ServerOptions options;
    options.engine = engine;
    // A worker per core: a long text is synthesised on all of them at once,
    // and an engine that crashes takes only the request with it.
    options.workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's allocator is not locked across a fork, and the
    // program's other threads run while the server starts: a worker could
    // hang. Such builds synthesise in-process.
    options.workers = 0;
#endif
    return options;
}

std::unique_ptr<server::SpeechServer> StartEmbeddedServer(const std::string& engine, bool verbose,
                                                          std::string* error) {
    auto embedded = std::make_unique<server::SpeechServer>(EmbeddedServerOptions(engine, verbose));
    if (!embedded->Start(error)) {
        return nullptr;
    }
    return embedded;
}

}  // namespace tools
}  // namespace vrelay
