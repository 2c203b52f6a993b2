// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-web's command line.
#ifndef VRELAY_WEB_WEB_OPTIONS_H
#define VRELAY_WEB_WEB_OPTIONS_H

#include <string>
#include <vector>

#include "web/http_server.h"
#include "web/session_registry.h"

namespace vrelay {
namespace web {

extern const char kWebUsage[];

struct WebOptions {
    HttpOptions http;
    SessionLimits limits;
    size_t maxTextBytes = 256 * 1024;
    int serverConnections = 8;          // the pool's size
    int maxConnectionsPerAddress = 32;  // client connections of one address
    int websocketIdleSeconds = 60;
    std::string server;  // HOST:PORT, or "" for the embedded server
    std::string engine = "espeak";
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Reads the arguments (getopt_long); false with *error for bad usage.
bool ParseWebArgs(int argc, char** argv, WebOptions* options, std::string* error);

}  // namespace web
}  // namespace vrelay

#endif
