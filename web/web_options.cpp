// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_options.h"

#include <getopt.h>

#include <cstdlib>

#include "platform/command_line.h"

namespace vrelay {
namespace web {

const char kWebUsage[] =
    "usage: vrelay-web [OPTIONS]\n"
    "Serves a page that speaks text and highlights each word as it is heard.\n"
    "  --port N                   HTTP port (default 8080; 0: a free one, printed)\n"
    "  --listen ADDR              address to listen on (default 127.0.0.1)\n"
    "  --server HOST:PORT         use a running speech server instead of starting one\n"
    "  --engine espeak|tone       engine of the server started here (default espeak)\n"
    "  --server-connections N     connections to the speech server, shared by all tabs:\n"
    "                             each request takes one and gives it back (default 8;\n"
    "                             keep it within the server's --max-sessions-per-address)\n"
    "  --origin ORIGIN            also accept WebSockets from this page origin\n"
    "                             (repeatable; the page's own is always accepted)\n"
    "  --trusted-proxy ADDR[/BITS]  a reverse proxy whose X-Forwarded-For (or else\n"
    "                             Forwarded) header names the client (repeatable)\n"
    "  --max-text BYTES           longest text one Speak may send (default 262144)\n"
    "  --max-sessions N           browser tabs served at once (default 64)\n"
    "  --max-sessions-per-address N  browser tabs per client address (default 4)\n"
    "  --max-connections-per-address N  open HTTP and WebSocket connections per\n"
    "                             client address; more are answered 503 (default 32)\n"
    "  --idle-timeout S           forget a tab, and close a server connection, unused\n"
    "                             for S seconds (default 120)\n"
    "  --websocket-idle-timeout S  close a WebSocket on which the page has sent no\n"
    "                             message for S seconds; pings do not count (default 60)\n"
    "  -v, --verbose              log the sessions of the server started here\n"
    "  --version                  print the version and exit\n"
    "  -h, --help                 print this help and exit\n";

namespace {

bool Number(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < low || n > high) {
        return false;
    }
    *value = n;
    return true;
}

}  // namespace

bool ParseWebArgs(int argc, char** argv, WebOptions* options, std::string* error) {
    enum {
        kPort = 256, kListen, kServer, kEngine, kOrigin, kMaxText, kMaxSessions, kPerAddress,
        kIdle, kVersion, kServerConnections, kTrustedProxy, kConnectionsPerAddress, kSocketIdle
    };
    static const option kOptions[] = {
        {"port", required_argument, nullptr, kPort},
        {"listen", required_argument, nullptr, kListen},
        {"server", required_argument, nullptr, kServer},
        {"engine", required_argument, nullptr, kEngine},
        {"origin", required_argument, nullptr, kOrigin},
        {"max-text", required_argument, nullptr, kMaxText},
        {"max-sessions", required_argument, nullptr, kMaxSessions},
        {"max-sessions-per-address", required_argument, nullptr, kPerAddress},
        {"idle-timeout", required_argument, nullptr, kIdle},
        {"verbose", no_argument, nullptr, 'v'},
        {"version", no_argument, nullptr, kVersion},
        {"server-connections", required_argument, nullptr, kServerConnections},
        {"trusted-proxy", required_argument, nullptr, kTrustedProxy},
        {"max-connections-per-address", required_argument, nullptr, kConnectionsPerAddress},
        {"websocket-idle-timeout", required_argument, nullptr, kSocketIdle},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // restart the scan (GNU)
    opterr = 0;
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, ":vh", kOptions, &index)) != -1) {
        long n = 0;
        const auto bad = [&](const char* what) {
            *error = std::string("--") + kOptions[index].name + " wants " + what + ", not \"" +
                     optarg + "\"";
            return false;
        };
        switch (c) {
            case kPort:
                if (!Number(optarg, 0, 65535, &n)) {
                    return bad("a port number");
                }
                options->http.port = static_cast<int>(n);
                break;
            case kListen:
                options->http.listen = optarg;
                break;
            case kServer:
                options->server = optarg;
                break;
            case kEngine:
                if (std::string(optarg) != "espeak" && std::string(optarg) != "tone") {
                    return bad("espeak or tone");
                }
                options->engine = optarg;
                break;
            case kOrigin:
                options->http.origins.push_back(optarg);
                break;
            case kMaxText:
                if (!Number(optarg, 1, 64L << 20, &n)) {
                    return bad("a byte count up to 67108864");
                }
                options->maxTextBytes = static_cast<size_t>(n);
                break;
            case kMaxSessions:
            case kPerAddress:
                if (!Number(optarg, 1, 100000, &n)) {
                    return bad("a positive number");
                }
                (c == kMaxSessions ? options->limits.maxSessions : options->limits.maxPerAddress) =
                    static_cast<int>(n);
                break;
            case kIdle:
            case kSocketIdle:
                if (!Number(optarg, 1, 86400, &n)) {
                    return bad("seconds, 1 to 86400");
                }
                (c == kIdle ? options->limits.idleSeconds : options->websocketIdleSeconds) =
                    static_cast<int>(n);
                break;
            case kServerConnections:
                if (!Number(optarg, 1, 1000, &n)) {
                    return bad("a number, 1 to 1000");
                }
                options->serverConnections = static_cast<int>(n);
                break;
            case kConnectionsPerAddress:
                if (!Number(optarg, 1, 100000, &n)) {
                    return bad("a positive number");
                }
                options->maxConnectionsPerAddress = static_cast<int>(n);
                break;
            case kTrustedProxy:
                if (!options->http.proxies.Add(optarg)) {
                    return bad("an address or ADDRESS/BITS");
                }
                break;
            case 'v':
                options->verbose = true;
                break;
            case kVersion:
                options->version = true;
                break;
            case 'h':
                options->help = true;
                break;
            default:  // ':' or '?'
                *error = OptionError(c, argv);
                return false;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument \"") + argv[optind] + "\"";
        return false;
    }
    return true;
}

}  // namespace web
}  // namespace vrelay
