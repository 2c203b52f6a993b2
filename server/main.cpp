// vrelay-server: the reference speech server as a program.
//
// Prints "listening on ADDR:PORT" once it accepts clients. SIGINT or SIGTERM:
// stops accepting, lets running requests finish for the grace time, then
// closes every connection and exits 0. See kHelp for the options.
#include <signal.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <vrelay/vrelay.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "server/speech_server.h"
#include "transport/log.h"

namespace {

const char kHelp[] =
    "usage: vrelay-server [options]\n"
    "The vrelay reference speech server.\n"
    "\n"
    "  --port N               TCP port to listen on; 0 picks a free one (default 5555)\n"
    "  --listen ADDR          address to listen on (default 127.0.0.1; the server has\n"
    "                         no authentication, so open it wider only behind a firewall)\n"
    "  --engine NAME          espeak or tone (default espeak)\n"
    "  --voice NAME           first voice of every session (default: the engine's)\n"
    "  --workers N            synthesis worker processes; 0 synthesises inside the\n"
    "                         server process (default: the number of cores, %u)\n"
    "  --max-sessions N       clients served at once; more get \"server busy\" (default 64)\n"
    "  --max-sessions-per-address N\n"
    "                         clients served at once from one address, 0 for no bound\n"
    "                         of its own; behind a proxy every client has its address\n"
    "                         (default 16)\n"
    "  --idle-timeout S       close a session that sends no text or query for S\n"
    "                         seconds (default 300)\n"
    "  --request-timeout S    longest time to answer one text packet, and longest a\n"
    "                         client may leave the answer unread (default 120)\n"
    "  --max-request-audio S  seconds of audio one request may produce (default 3600)\n"
    "  --max-pending-text B   bytes of one request's text that may wait unspoken\n"
    "                         (default 8388608)\n"
    "  --worker-memory MB     address space each worker may take beyond what it\n"
    "                         inherits from the server; 0 for no limit (default 2048)\n"
    "  --grace S              on SIGTERM/SIGINT, time running requests get to finish\n"
    "                         (default 10)\n"
    "  --log-level LEVEL      error, warning, info or debug (default info)\n"
    "  --version              print the version and exit\n"
    "  -h, --help             this text\n";

bool ParseNumber(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (*text == 0 || *end != 0 || errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

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

}  // namespace

int main(int argc, char** argv) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    vrelay::server::ServerOptions options;
    options.port = 5555;
    options.workers = static_cast<int>(cores);
    options.worker_memory_mb = 2048;
    options.max_sessions_per_address = 16;
    long grace_seconds = 10;
    vrelay::TLogLevel log_level = vrelay::logINFO;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(kHelp, cores);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vrelay-server %s\n", VRELAY_VERSION_STRING);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vrelay-server: %s needs a value (see --help)\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        long number = 0;
        auto number_in = [&](long low, long high) {
            if (ParseNumber(value, low, high, &number)) {
                return true;
            }
            std::fprintf(stderr, "vrelay-server: bad value \"%s\" for %s (%ld to %ld)\n", value,
                         arg.c_str(), low, high);
            return false;
        };
        constexpr long kDay = 24 * 3600;
        if (arg == "--port") {
            if (!number_in(0, 65535))
                return 2;
            options.port = static_cast<int>(number);
        } else if (arg == "--listen") {
            options.listen_address = value;
        } else if (arg == "--engine") {
            options.engine = value;
        } else if (arg == "--voice") {
            options.voice = value;
        } else if (arg == "--workers") {
            if (!number_in(0, 256))
                return 2;
            options.workers = static_cast<int>(number);
        } else if (arg == "--max-sessions") {
            if (!number_in(1, 100000))
                return 2;
            options.max_sessions = static_cast<int>(number);
        } else if (arg == "--max-sessions-per-address") {
            if (!number_in(0, 100000))
                return 2;
            options.max_sessions_per_address = static_cast<int>(number);
        } else if (arg == "--idle-timeout") {
            if (!number_in(1, kDay))
                return 2;
            options.limits.idle_timeout_ms = static_cast<int>(number * 1000);
        } else if (arg == "--request-timeout") {
            if (!number_in(1, kDay))
                return 2;
            options.limits.request_timeout_ms = static_cast<int>(number * 1000);
        } else if (arg == "--max-request-audio") {
            if (!number_in(1, kDay))
                return 2;
            options.limits.max_request_audio_seconds = static_cast<int>(number);
        } else if (arg == "--max-pending-text") {
            if (!number_in(1, INT_MAX))
                return 2;
            options.limits.max_pending_text = static_cast<size_t>(number);
        } else if (arg == "--worker-memory") {
            if (!number_in(0, 1L << 20))
                return 2;
            options.worker_memory_mb = number;
        } else if (arg == "--grace") {
            if (!number_in(0, kDay))
                return 2;
            grace_seconds = number;
        } else if (arg == "--log-level") {
            if (!ParseLogLevel(value, &log_level)) {
                std::fprintf(stderr, "vrelay-server: bad log level \"%s\" (see --help)\n", value);
                return 2;
            }
        } else {
            std::fprintf(stderr, "vrelay-server: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    vrelay::FILELog::SetReportingLevel(log_level);
#ifdef __GLIBC__
    // A fixed threshold: large buffers (a request's text, a unit's audio) are
    // mapped for themselves and go back to the system when freed. Left to
    // adjust itself, glibc would serve them from the session threads' arenas,
    // which keep their memory after a large request.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    vrelay::server::SpeechServer server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "vrelay-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", options.listen_address.c_str(), server.Port());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.Shutdown(static_cast<int>(grace_seconds * 1000));
    return 0;
}
