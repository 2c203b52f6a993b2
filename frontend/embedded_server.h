// SPDX-License-Identifier: GPL-3.0-or-later
// The speech server a front end talks to: one named on its command line
// (HOST:PORT), or by default the reference server started inside the process
// on a free loopback port.
#ifndef VRELAY_TOOLS_EMBEDDED_SERVER_H
#define VRELAY_TOOLS_EMBEDDED_SERVER_H

#include <memory>
#include <string>

#include "server/speech_server.h"

namespace vrelay {
namespace tools {

// Splits "HOST:PORT" ("[::1]:5555" too); false unless the port is 1 to 65535.
bool SplitHostPort(const std::string& server, std::string* host, int* port);

// The options of the reference server a front end embeds: the engine named,
// one synthesis worker process per core, 127.0.0.1 and a free port
// (server->Port() once started). Unless verbose, the process's log shows only warnings and
// errors from then on (the level is the process's, so this sets it for the
// whole program).
server::ServerOptions EmbeddedServerOptions(const std::string& engine, bool verbose);

// Starts the reference server with EmbeddedServerOptions. Null with *error
// when it cannot start.
std::unique_ptr<server::SpeechServer> StartEmbeddedServer(const std::string& engine, bool verbose,
                                                          std::string* error);

}  // namespace tools
}  // namespace vrelay

#endif
