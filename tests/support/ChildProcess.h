// A second process for tests: this test program run again (/proc/self/exe) on one disabled
// test that plays the scenario named in an environment variable, reports lines on descriptor
// 4 and may read commands from its standard input.
#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

inline constexpr int kChildReportFd = 4;

// Which disabled test the child runs and which variable names its scenario; variables with
// the same prefix in this process's environment are not passed on.
struct ChildProgram {
    std::string test;          // e.g. "RpcChild.DISABLED_Main"
    std::string scenario_var;  // e.g. "NORVALT_RPC_CHILD"
    std::string env_prefix;    // e.g. "NORVALT_RPC_"
};

class ChildProcess {
  public:
    // `env` adds to this process's environment. `listen_fd` >= 0 is handed over as systemd
    // would: descriptor 3 with LISTEN_FDS=1 and LISTEN_PID set to the child's pid.
    ChildProcess(const ChildProgram& program, const std::string& scenario,
                 const std::vector<std::pair<std::string, std::string>>& env, int listen_fd = -1);
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // The next report line ("" when the child ended or `ms` passed).
    std::string ReadLine(int ms = 20000);
    // Every remaining report line until the child closes its end.
    std::vector<std::string> ReadAll(int ms = 20000);
    // A line to the child's standard input.
    void Send(const std::string& line);
    // Exit code, 128 + signal, or -1 after `ms` (the child is then killed).
    int Wait(int ms = 20000);
    void Kill(int sig);

  private:
    pid_t pid_ = -1;
    int report_ = -1;
    int input_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace testsupport
