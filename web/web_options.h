// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-web's command line, on the core's table-driven parser: --server and
// --engine are the rows every speaking door shares, the rest the bridge's
// own (its listener, its limits). -v is not taken: in vrelay-say it is
// --voice, and the page picks the voice here.
#ifndef VRELAY_WEB_WEB_OPTIONS_H
#define VRELAY_WEB_WEB_OPTIONS_H

#include <string>

#include "frontend/command_line.h"
#include "web/http_server.h"
#include "web/session_registry.h"

namespace vrelay {
namespace web {

// The help text, ending with the exit codes.
std::string WebUsage();

struct WebOptions {
    HttpOptions http;
    SessionLimits limits;
    size_t maxTextBytes = 256 * 1024;
    int serverConnections = 8;          // the pool's size
    int maxConnectionsPerAddress = 32;  // client connections of one address
    int websocketIdleSeconds = 60;
    frontend::SpeechOptions speech;  // --server (host and port; "" for the embedded one), --engine
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Reads the arguments; false with a one-line *error for bad usage.
bool ParseWebArgs(int argc, char** argv, WebOptions* options, std::string* error);

}  // namespace web
}  // namespace vrelay

#endif
