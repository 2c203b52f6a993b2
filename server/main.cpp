// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-server: the reference speech server as a program.
//
// Prints "listening on ADDR:PORT" ("[ADDR]:PORT" for an IPv6 address) once it
// accepts clients, then "health checks on ADDR:PORT" with --health-port.
// SIGINT or SIGTERM: stops accepting, lets running requests finish for the
// grace time, then closes every connection and exits 0; a second SIGINT or
// SIGTERM ends it at once, by that signal. See kHelp for the options and
// server/exit_codes.h for the exit codes.
#include <getopt.h>
#include <signal.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/command_line.h"
#include "server/exit_codes.h"
#include "server/speech_server.h"
#include "transport/address.h"
#include "transport/log.h"

namespace {

const char kHelp[] =
    "usage: vrelay-server [options]\n"
    "The vrelay reference speech server.\n"
    "\n"
    "  --port=N               TCP port to listen on; 0 picks a free one\n"
    "                         (default 5555)\n"
    "  --listen=ADDR          address to listen on (default 127.0.0.1; the server\n"
    "                         has no authentication, so open it wider only behind\n"
    "                         a firewall)\n"
    "  --engine=NAME          espeak or tone (default espeak)\n"
    "  --voice=NAME           first voice of every session, with a variant if wanted\n"
    "                         (en+f3; default: the engine's)\n"
    "  --workers=N            synthesis worker processes; 0 synthesises inside the\n"
    "                         server process (default: the number of cores, %u)\n"
    "  --max-sessions=N       clients served at once; more get \"server busy\"\n"
    "                         (default 64)\n"
    "  --max-sessions-per-address=N\n"
    "                         clients served at once from one address, 0 for no bound\n"
    "                         of its own; behind a proxy every client has its address\n"
    "                         (default 16)\n"
    "  --health-port=N        answer health checks (HTTP GET /health: 200 when a probe\n"
    "                         word is spoken, else 503) on port N of the --listen\n"
    "                         address, apart from the sessions; 0 picks a free one\n"
    "                         (default: none)\n"
    "  --idle-timeout=S       close a session that sends no text or query for S\n"
    "                         seconds (default 300)\n"
    "  --request-timeout=S    longest time to answer one text packet, and longest a\n"
    "                         client may leave the answer unread (default 120)\n"
    "  --max-request-audio=S  seconds of audio one request may produce (default 3600)\n"
    "  --max-pending-text=B   bytes of one request's text that may wait unspoken\n"
    "                         (default 8388608)\n"
    "  --worker-memory=MB     address space each worker may take beyond what it\n"
    "                         inherits from the server; 0 for no limit (default 2048)\n"
    "  --grace=S              on SIGTERM/SIGINT, time running requests get to finish\n"
    "                         (default 10)\n"
    "  --log-level=LEVEL      error, warning, info or debug (default info)\n"
    "  --version              print the version and exit\n"
    "  -h, --help             this text\n"
    "\n"
    "On SIGTERM or SIGINT it stops accepting, closes idle sessions, lets running\n"
    "requests finish for the grace time and closes the rest; a second signal ends\n"
    "it at once.\n"
    "\n"
    "Exit codes: 0 stopped by SIGTERM or SIGINT, 2 bad usage, 3 cannot start (the\n"
    "engine, or the address cannot be bound), 4 unknown voice; ended by a second\n"
    "signal, the shell's code for that signal (143 for SIGTERM, 130 for SIGINT).\n";

bool ParseLogLevel(const std::string& name, vrelay::TLogLevel* level) {
    const struct {
        const char* name;
        vrelay::TLogLevel level;
    } kLevels[] = {{"error", vrelay::logERROR},
                   {"warning", vrelay::logWARNING},
                   {"info", vrelay::logINFO},
                   {"debug", vrelay::logDEBUG}};
    for (const auto& l : kLevels) {
        if (name == l.name) {
            *level = l.level;
            return true;
        }
    }
    return false;
}

// What the command line asks for.
struct Settings {
    vrelay::server::ServerOptions server;
    long grace_seconds = 10;
    vrelay::TLogLevel log_level = vrelay::logINFO;
};

// A usage error: one line, and where to find the options.
int Usage(const std::string& message) {
    std::fprintf(stderr, "vrelay-server: %s\nTry 'vrelay-server --help' for more information.\n",
                 message.c_str());
    return vrelay::kExitUsage;
}

constexpr long kDay = 24 * 3600;

// The options that take a whole number: its range, and where it goes.
struct NumberOption {
    const char* name;
    long low;
    long high;
    void (*store)(Settings*, long);
};
const NumberOption kNumberOptions[] = {
    {"port", 0, 65535, [](Settings* s, long n) { s->server.port = static_cast<int>(n); }},
    {"workers", 0, 256, [](Settings* s, long n) { s->server.workers = static_cast<int>(n); }},
    {"max-sessions", 1, 100000,
     [](Settings* s, long n) { s->server.max_sessions = static_cast<int>(n); }},
    {"max-sessions-per-address", 0, 100000,
     [](Settings* s, long n) { s->server.max_sessions_per_address = static_cast<int>(n); }},
    {"health-port", 0, 65535,
     [](Settings* s, long n) { s->server.health_port = static_cast<int>(n); }},
    {"idle-timeout", 1, kDay,
     [](Settings* s, long n) { s->server.limits.idle_timeout_ms = static_cast<int>(n * 1000); }},
    {"request-timeout", 1, kDay,
     [](Settings* s, long n) { s->server.limits.request_timeout_ms = static_cast<int>(n * 1000); }},
    {"max-request-audio", 1, kDay,
     [](Settings* s, long n) { s->server.limits.max_request_audio_seconds = static_cast<int>(n); }},
    {"max-pending-text", 1, INT_MAX,
     [](Settings* s, long n) { s->server.limits.max_pending_text = static_cast<size_t>(n); }},
    {"worker-memory", 0, 1L << 20, [](Settings* s, long n) { s->server.worker_memory_mb = n; }},
    {"grace", 0, kDay, [](Settings* s, long n) { s->grace_seconds = n; }},
};

// The options that take a text, kept as given.
struct TextOption {
    const char* name;
    std::string vrelay::server::ServerOptions::*field;
};
const TextOption kTextOptions[] = {
    {"listen", &vrelay::server::ServerOptions::listen_address},
    {"engine", &vrelay::server::ServerOptions::engine},
    {"voice", &vrelay::server::ServerOptions::voice},
};

// getopt_long's codes: a table's row is its first code plus the row's index.
constexpr int kNumberCode = 256;
constexpr int kTextCode = 512;
constexpr int kLogLevelCode = 768;
constexpr int kVersionCode = 769;
constexpr int kCount = static_cast<int>(sizeof kNumberOptions / sizeof kNumberOptions[0]);
constexpr int kTextCount = static_cast<int>(sizeof kTextOptions / sizeof kTextOptions[0]);

std::vector<option> LongOptions() {
    std::vector<option> options;
    for (int i = 0; i < kCount; ++i) {
        options.push_back({kNumberOptions[i].name, required_argument, nullptr, kNumberCode + i});
    }
    for (int i = 0; i < kTextCount; ++i) {
        options.push_back({kTextOptions[i].name, required_argument, nullptr, kTextCode + i});
    }
    options.push_back({"log-level", required_argument, nullptr, kLogLevelCode});
    options.push_back({"version", no_argument, nullptr, kVersionCode});
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

// Reads the options into *settings. -1 to go on; otherwise the program's
// exit code (after --help, --version or a usage error).
int ParseArguments(int argc, char** argv, unsigned cores, Settings* settings) {
    vrelay::server::ServerOptions& options = settings->server;
    options.port = 5555;
    options.workers = static_cast<int>(cores);
    options.worker_memory_mb = 2048;
    options.max_sessions_per_address = 16;
    const std::vector<option> kOptions = LongOptions();
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions.data(), nullptr)) != -1) {
        if (c >= kNumberCode && c < kNumberCode + kCount) {
            const NumberOption& row = kNumberOptions[c - kNumberCode];
            long number = 0;
            if (!vrelay::ParseWholeNumber(optarg, row.low, row.high, &number)) {
                return Usage(std::string("--") + row.name + " wants a number from " +
                             std::to_string(row.low) + " to " + std::to_string(row.high) +
                             ", not \"" + optarg + "\"");
            }
            row.store(settings, number);
        } else if (c >= kTextCode && c < kTextCode + kTextCount) {
            options.*kTextOptions[c - kTextCode].field = optarg;
        } else if (c == kLogLevelCode) {
            if (!ParseLogLevel(optarg, &settings->log_level)) {
                return Usage(
                    std::string("--log-level wants error, warning, info or debug, not \"") +
                    optarg + "\"");
            }
        } else if (c == 'h') {
            std::printf(kHelp, cores);
            return vrelay::kExitOk;
        } else if (c == kVersionCode) {
            std::printf("vrelay-server %s\n", VRELAY_SERVER_VERSION);
            return vrelay::kExitOk;
        } else {  // ':' or '?'
            return Usage(vrelay::OptionError(c, argv));
        }
    }
    if (optind < argc) {
        return Usage(std::string("unexpected argument \"") + argv[optind] + "\"");
    }
    return -1;
}

// The process-wide settings, made before any thread starts. Returns the stop
// signals, blocked in every thread from now on: the main thread waits for them.
sigset_t PrepareProcess(const Settings& settings) {
    vrelay::FILELog::SetReportingLevel(settings.log_level);
#ifdef __GLIBC__
    // A fixed threshold: large buffers (a request's text, a unit's audio) are
    // mapped for themselves and go back to the system when freed. Left to
    // adjust itself, glibc would serve them from the session threads' arenas,
    // which keep their memory after a large request.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

// From now on a further stop signal ends the process at once, by that signal,
// whatever the graceful stop is doing.
void EndAtNextSignal(const sigset_t& stop_signals) {
    std::thread([stop_signals] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        ::signal(signal_number, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
        ::raise(signal_number);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    Settings settings;
    const int parsed = ParseArguments(argc, argv, cores, &settings);
    if (parsed >= 0) {
        return parsed;
    }
    const sigset_t stop_signals = PrepareProcess(settings);

    vrelay::server::SpeechServer server(settings.server);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "vrelay-server: %s\n", error.c_str());
        return server.UnknownVoice() ? vrelay::kExitUnknownVoice : vrelay::kExitNoServer;
    }
    std::printf(
        "listening on %s\n",
        vrelay::server::AddressWithPort(settings.server.listen_address, server.Port()).c_str());
    if (server.HealthPort() != 0) {
        std::printf(
            "health checks on %s\n",
            vrelay::server::AddressWithPort(settings.server.listen_address, server.HealthPort())
                .c_str());
    }
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    EndAtNextSignal(stop_signals);
    server.Shutdown(static_cast<int>(settings.grace_seconds * 1000));
    return vrelay::kExitOk;
}
