// SPDX-License-Identifier: MIT
#include "server_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace bench {

ServerProcess::ServerProcess(const std::string& program, const std::string& engine) {
    int out[2];
    if (pipe(out) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", 0, 0);
    std::string port_flag = "--port", zero = "0", engine_flag = "--engine", engine_name = engine;
    // Every benchmark connection comes from the loopback address.
    std::string per_address_flag = "--max-sessions-per-address";
    std::string path = program;
    char* args[] = {&path[0],        &port_flag[0],        &zero[0], &engine_flag[0],
                    &engine_name[0], &per_address_flag[0], &zero[0], nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args, environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (pid_ > 0) {
        // "listening on 127.0.0.1:PORT"
        FILE* lines = fdopen(out[0], "r");
        char line[256] = {0};
        if (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
            const char* colon = std::strrchr(line, ':');
            port_ = colon ? std::atoi(colon + 1) : 0;
        }
        if (lines != nullptr) {
            std::fclose(lines);
        } else {
            close(out[0]);
        }
    } else {
        close(out[0]);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

}  // namespace bench
