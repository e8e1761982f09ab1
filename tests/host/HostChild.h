// A client process for the host tests: this test program run again (/proc/self/exe) on its one
// disabled test, HostChild.DISABLED_Main, which plays the scenario named in NORVALT_HOST_CHILD,
// reports lines on descriptor 4 and reads commands from its standard input.
#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace hosttest {

inline constexpr int kChildReportFd = 4;

class HostChild {
public:
    // `env` adds to this process's environment.
    HostChild(const std::string& scenario, const std::vector<std::pair<std::string, std::string>>& env);
    ~HostChild();  // kills a child that is still running
    HostChild(const HostChild&) = delete;
    HostChild& operator=(const HostChild&) = delete;

    pid_t Pid() const { return pid_; }
    // The next report line ("" when the child ended or `ms` passed).
    std::string ReadLine(int ms = 20000);
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

}  // namespace hosttest
