// SPDX-License-Identifier: GPL-3.0-or-later
// sd_vrelay: a Speech Dispatcher output module that speaks through a vrelay
// speech server. Speech Dispatcher starts it with the path of its
// configuration file and talks to it over standard input and output.
#include <errno.h>
#include <signal.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "speechd/module.h"

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("sd_vrelay %s\n", VRELAY_VERSION_STRING);
        return 0;
    }
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: sd_vrelay [CONFIG_FILE]\n"
                    "A Speech Dispatcher output module: Speech Dispatcher starts it and talks\n"
                    "to it on standard input and output. See sd_vrelay(1).\n");
        return 0;
    }
    // The protocol gets a descriptor of its own; anything else printed on
    // standard output (the library's warnings) goes to the log instead.
    const int protocol = ::dup(STDOUT_FILENO);
    if (protocol < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("sd_vrelay");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    vrelay::speechd::ModuleConfig config;
    if (argc > 1) {
        config = vrelay::speechd::LoadModuleConfig(argv[1]);
    }
    vrelay::speechd::Module module(std::move(config), protocol);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // End of input: Speech Dispatcher is gone.
        if (n <= 0 || !module.Feed(buffer, static_cast<size_t>(n))) {
            break;
        }
    }
    return 0;
}
