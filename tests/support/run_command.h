// SPDX-License-Identifier: MIT
// Runs a shell command for the tool tests and collects what it prints.
#ifndef VRELAY_TESTS_SUPPORT_RUN_COMMAND_H
#define VRELAY_TESTS_SUPPORT_RUN_COMMAND_H

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace vrelay {
namespace test {

// status: the exit code; -1 when the command did not exit normally
// out: what it wrote to standard output
struct CommandRun { int status; std::string out; };

inline CommandRun RunCommand(const std::string& command) {
    CommandRun run{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace test
}  // namespace vrelay

#endif
