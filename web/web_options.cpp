// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_options.h"

#include <algorithm>

#include "frontend/exit_codes.h"

namespace vrelay {
namespace web {

namespace {

using frontend::NumberOption;
using frontend::OptionSpec;
using Argument = OptionSpec::Argument;

const char kIntroduction[] =
    "usage: vrelay-web [OPTIONS]\n"
    "Serves a page that speaks text and highlights each word as it is heard.\n"
    "\n";

std::function<bool(const std::string&, std::string*)> Flag(bool* target) {
    return [target](const std::string&, std::string*) { return *target = true; };
}

template <typename T>
std::function<void(long)> Store(T* target) {
    return [target](long value) { *target = static_cast<T>(value); };
}

// The table in the order of the help text; --server and --engine are the
// shared rows.
std::vector<OptionSpec> Table(WebOptions* o) {
    const std::vector<OptionSpec> shared = frontend::SpeechOptionSpecs(&o->speech);
    const auto row = [&](const char* name) {
        return *std::find_if(shared.begin(), shared.end(),
                             [&](const OptionSpec& spec) { return std::string(spec.name) == name; });
    };
    return {
        NumberOption("port", "N", "HTTP port (default 8080; 0: a free one, printed)", 0, 65535,
                     Store(&o->http.port), "a port number"),
        {"listen", 0, Argument::kRequired, "ADDR", "address to listen on (default 127.0.0.1)",
         [o](const std::string& value, std::string*) {
             o->http.listen = value;
             return true;
         }},
        row("server"),
        row("no-resume"),
        row("engine"),
        NumberOption("server-connections", "N",
                     "connections to the speech server, shared by all tabs:\n"
                     "each request takes one and gives it back (default 8;\n"
                     "keep it within the server's --max-sessions-per-address)",
                     1, 1000, Store(&o->serverConnections)),
        {"origin", 0, Argument::kRequired, "ORIGIN",
         "also accept WebSockets from this page origin\n"
         "(repeatable; the page's own is always accepted)",
         [o](const std::string& value, std::string*) {
             o->http.origins.push_back(value);
             return true;
         }},
        {"trusted-proxy", 0, Argument::kRequired, "ADDR[/BITS]",
         "a reverse proxy whose X-Forwarded-For (or else\n"
         "Forwarded) header names the client (repeatable)",
         [o](const std::string& value, std::string* error) {
             if (!o->http.proxies.Add(value)) {
                 *error = "--trusted-proxy wants an address or ADDRESS/BITS, not \"" + value + "\"";
                 return false;
             }
             return true;
         }},
        NumberOption("max-text", "BYTES",
                     "longest text one Speak may send (default 262144);\n"
                     "a longer one is refused with this limit named",
                     1, 64L << 20, Store(&o->maxTextBytes)),
        NumberOption("max-sessions", "N", "browser tabs served at once (default 64)", 1, 100000,
                     Store(&o->limits.maxSessions)),
        NumberOption("max-sessions-per-address", "N", "browser tabs per client address (default 4)",
                     1, 100000, Store(&o->limits.maxPerAddress)),
        NumberOption("max-connections-per-address", "N",
                     "open HTTP and WebSocket connections per client\n"
                     "address; more are answered 503 (default 32)",
                     1, 100000, Store(&o->maxConnectionsPerAddress)),
        NumberOption("idle-timeout", "S",
                     "forget a tab, and close a server connection, unused\n"
                     "for S seconds (default 120)",
                     1, 86400, Store(&o->limits.idleSeconds)),
        NumberOption("websocket-idle-timeout", "S",
                     "close a WebSocket on which the page has sent no\n"
                     "message for S seconds; pings do not count (default 60)",
                     1, 86400, Store(&o->websocketIdleSeconds)),
        {"verbose", 0, Argument::kNone, nullptr, "log the sessions of the server started here",
         Flag(&o->verbose)},
        {"version", 0, Argument::kNone, nullptr, "print the version and exit", Flag(&o->version)},
        {"help", 'h', Argument::kNone, nullptr, "print this help and exit", Flag(&o->help)},
    };
}

}  // namespace

std::string WebUsage() {
    WebOptions options;
    using namespace frontend;
    return kIntroduction + OptionHelp(Table(&options)) + "\n" +
           ExitCodeHelp({kExitOk, kExitUsage, kExitNoServer, kExitCannotListen});
}

bool ParseWebArgs(int argc, char** argv, WebOptions* options, std::string* error) {
    std::vector<std::string> words;
    if (!frontend::ParseOptions(argc, argv, Table(options), &words, error)) {
        return false;
    }
    if (!words.empty()) {
        *error = "unexpected argument \"" + words.front() + "\"";
        return false;
    }
    return true;
}

}  // namespace web
}  // namespace vrelay
