// SPDX-License-Identifier: MIT
// A vrelay-server child process on a free loopback port, for the benchmarks
// that talk to a real server. Stopped (SIGTERM, then reaped) on destruction.
#ifndef VRELAY_BENCH_SERVER_PROCESS_H
#define VRELAY_BENCH_SERVER_PROCESS_H

#include <sys/types.h>

#include <string>

namespace bench {

class ServerProcess {
  public:
    // Starts `program --port 0 --engine engine --max-sessions-per-address 0`
    // and waits for its "listening on ADDR:PORT" line.
    ServerProcess(const std::string& program, const std::string& engine);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The port it listens on; 0 when it did not start.
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace bench

#endif
