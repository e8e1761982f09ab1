// A second process for the transport tests: this test program run again (/proc/self/exe) on
// its one disabled test, RpcChild.DISABLED_Main, which plays the scenario named in
// NORVALT_RPC_CHILD and reports lines on descriptor 4.
#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace rpctest {

inline constexpr int kChildReportFd = 4;

class ChildProcess {
  public:
    // `env` adds to this process's environment. `listen_fd` >= 0 is handed over as systemd
    // would: descriptor 3 with LISTEN_FDS=1 and LISTEN_PID set to the child's pid.
    ChildProcess(const std::string& scenario,
                 const std::vector<std::pair<std::string, std::string>>& env, int listen_fd = -1);
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // The next report line ("" when the child ended or `ms` passed).
    std::string ReadLine(int ms = 10000);
    // Every remaining report line until the child closes its end.
    std::vector<std::string> ReadAll(int ms = 20000);
    // Exit code, 128 + signal, or -1 after `ms` (the child is then killed).
    int Wait(int ms = 20000);
    void Kill(int sig);

  private:
    pid_t pid_ = -1;
    int report_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace rpctest
