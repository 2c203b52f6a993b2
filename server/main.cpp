// vrelay-server: the reference speech server as a program.
//
//   vrelay-server [--port N] [--listen ADDR] [--engine espeak|tone] [--voice NAME]
//
// Prints "listening on ADDR:PORT" once it accepts clients; stops on SIGINT or
// SIGTERM. The port defaults to 5555; 0 picks a free one.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/speech_server.h"

namespace {

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--port N] [--listen ADDR] [--engine espeak|tone] [--voice NAME]\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vrelay::server::ServerOptions options;
    options.port = 5555;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(argv[0]);
            return 0;
        }
        if (i + 1 >= argc) {
            return Usage(argv[0]);
        }
        const char* value = argv[++i];
        if (arg == "--port") {
            char* end = nullptr;
            const long port = std::strtol(value, &end, 10);
            if (*value == 0 || *end != 0 || port < 0 || port > 65535) {
                std::fprintf(stderr, "%s: bad port \"%s\"\n", argv[0], value);
                return 2;
            }
            options.port = static_cast<int>(port);
        } else if (arg == "--listen") {
            options.listen_address = value;
        } else if (arg == "--engine") {
            options.engine = value;
        } else if (arg == "--voice") {
            options.voice = value;
        } else {
            return Usage(argv[0]);
        }
    }

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    vrelay::server::SpeechServer server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", options.listen_address.c_str(), server.Port());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.Stop();
    return 0;
}
