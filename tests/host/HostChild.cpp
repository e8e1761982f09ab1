#include "tests/host/HostChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace hosttest {

HostChild::HostChild(const std::string& scenario,
                     const std::vector<std::pair<std::string, std::string>>& env) {
    int report[2], input[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    // Built before fork: between fork and exec only async-signal-safe calls are allowed.
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("NORVALT_HOST_", 0) == 0) continue;
        vars.push_back(v);
    }
    vars.push_back("NORVALT_HOST_CHILD=" + scenario);
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string a0 = "/proc/self/exe", a1 = "--gtest_filter=HostChild.DISABLED_Main",
                a2 = "--gtest_also_run_disabled_tests";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Moved out of the way first: a source may already sit on a target number.
        int r = ::fcntl(report[1], F_DUPFD_CLOEXEC, 20);
        int in = ::fcntl(input[0], F_DUPFD_CLOEXEC, 20);
        ::dup2(r, kChildReportFd);
        ::dup2(in, 0);
        ::dup2(devnull, 1);  // gtest's own chatter
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(report[1]);
    ::close(input[0]);
    ::close(devnull);
    report_ = report[0];
    input_ = input[1];
}

HostChild::~HostChild() {
    if (!reaped_) {
        Kill(SIGKILL);
        Wait(5000);
    }
    if (report_ >= 0) ::close(report_);
    if (input_ >= 0) ::close(input_);
}

std::string HostChild::ReadLine(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0) return "";
        pollfd p{report_, POLLIN, 0};
        if (::poll(&p, 1, left) != 1) return "";
        char buf[512];
        ssize_t k = ::read(report_, buf, sizeof buf);
        if (k <= 0) return std::exchange(buffered_, std::string());
        buffered_.append(buf, static_cast<size_t>(k));
    }
}

void HostChild::Send(const std::string& line) {
    std::string l = line + "\n";
    (void)!::write(input_, l.data(), l.size());
}

int HostChild::Wait(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!reaped_) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

void HostChild::Kill(int sig) {
    if (!reaped_ && pid_ > 0) ::kill(pid_, sig);
}

}  // namespace hosttest
