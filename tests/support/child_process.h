// SPDX-License-Identifier: MIT
// A program run as a child process with pipes on its standard input, output
// and error, for the tests that drive a tool as a user or a caller does.
#ifndef VRELAY_TESTS_SUPPORT_CHILD_PROCESS_H
#define VRELAY_TESTS_SUPPORT_CHILD_PROCESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace vrelay {
namespace test {

class ChildProcess {
  public:
    // Starts argv[0] with argv, its standard error on a pipe when pipeErr
    // (else the test's own); the destructor closes its input, sends SIGTERM
    // when `terminate` and waits for it. It leaves no core file.
    explicit ChildProcess(std::vector<std::string> argv, bool terminate = false,
                          bool pipeErr = true)
        : terminate_(terminate) {
        int pipes[3][2];
        for (auto& p : pipes) {
            if (::pipe2(p, O_CLOEXEC) != 0)
                return;
        }
        // Made before the fork: the test's other threads may hold the
        // allocator's lock at that moment.
        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(&arg[0]);
        args.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            for (int fd = 0; fd < (pipeErr ? 3 : 2); ++fd)
                ::dup2(pipes[fd][fd == 0 ? 0 : 1], fd);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        in = pipes[0][1], out = pipes[1][0], err = pipes[2][0];
        for (int fd : {pipes[0][0], pipes[1][1], pipes[2][1]})
            ::close(fd);
    }
    ~ChildProcess() {
        CloseInput();
        if (pid > 0 && terminate_)
            ::kill(pid, SIGTERM);
        Wait();
        for (int fd : {out, err})
            ::close(fd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Send(const std::string& text) {
        ASSERT_EQ(::write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseInput() {
        if (in >= 0)
            ::close(in);
        in = -1;
    }
    // The wait status; once only.
    int Wait() {
        int status = 0;
        if (pid > 0)
            ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    // Reads from fd (out or err) into *got until done() holds; false when
    // the child closed it or was silent for 60 s (a hang).
    bool ReadUntil(int fd, std::string* got, const std::function<bool()>& done) {
        char buffer[65536];
        while (!done()) {
            pollfd p{fd, POLLIN, 0};
            const ssize_t n = ::poll(&p, 1, 60000) == 1 ? ::read(fd, buffer, sizeof buffer) : 0;
            if (n <= 0)
                return false;
            got->append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    // The next line of standard output, without its LF.
    bool ReadLine(std::string* line) {
        if (!ReadUntil(out, &lines_, [&] { return lines_.find('\n') != std::string::npos; }))
            return false;
        const size_t end = lines_.find('\n');
        *line = lines_.substr(0, end);
        lines_.erase(0, end + 1);
        return true;
    }

    pid_t pid = -1;
    int in = -1, out = -1, err = -1;

  private:
    const bool terminate_;
    std::string lines_;
};

}  // namespace test
}  // namespace vrelay

#endif
