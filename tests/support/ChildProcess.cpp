#include "tests/support/ChildProcess.h"

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

namespace testsupport {

ChildProcess::ChildProcess(const ChildProgram& program, const std::string& scenario,
                           const std::vector<std::pair<std::string, std::string>>& env,
                           int listen_fd) {
    int pipefd[2], input[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0 || ::pipe2(input, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LISTEN_", 0) == 0 || v.rfind(program.env_prefix, 0) == 0) continue;
        vars.push_back(v);
    }
    vars.push_back(program.scenario_var + "=" + scenario);
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    size_t pid_slot = SIZE_MAX;
    if (listen_fd >= 0) {
        vars.push_back("LISTEN_FDS=1");
        vars.push_back("LISTEN_PID=0000000000");
        pid_slot = vars.size() - 1;
    }
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string a0 = "/proc/self/exe", a1 = "--gtest_filter=" + program.test,
                a2 = "--gtest_also_run_disabled_tests";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    char* pid_text =
        pid_slot == SIZE_MAX ? nullptr : vars[pid_slot].data() + std::strlen("LISTEN_PID=");

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Moved out of the way first: a source may already sit on a target number, and
        // dup2 onto itself would keep close-on-exec.
        int report = ::fcntl(pipefd[1], F_DUPFD_CLOEXEC, 20);
        int listen = listen_fd >= 0 ? ::fcntl(listen_fd, F_DUPFD_CLOEXEC, 20) : -1;
        int in = ::fcntl(input[0], F_DUPFD_CLOEXEC, 20);
        ::dup2(report, kChildReportFd);
        ::dup2(in, 0);
        ::dup2(devnull, 1);  // gtest's own chatter
        if (listen >= 0) {
            ::dup2(listen, 3);
            pid_t self = ::getpid();
            for (int i = 9; i >= 0; --i, self /= 10)
                pid_text[i] = static_cast<char>('0' + self % 10);
        }
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    ::close(input[0]);
    ::close(devnull);
    report_ = pipefd[0];
    input_ = input[1];
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        Kill(SIGKILL);
        Wait(5000);
    }
    if (report_ >= 0) ::close(report_);
    if (input_ >= 0) ::close(input_);
}

void ChildProcess::Send(const std::string& line) {
    std::string l = line + "\n";
    (void)!::write(input_, l.data(), l.size());
}

std::string ChildProcess::ReadLine(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) return "";
        pollfd p{report_, POLLIN, 0};
        if (::poll(&p, 1, left) != 1) return "";
        char buf[512];
        ssize_t k = ::read(report_, buf, sizeof buf);
        if (k <= 0) {
            std::string rest = std::exchange(buffered_, std::string());
            return rest;
        }
        buffered_.append(buf, static_cast<size_t>(k));
    }
}

std::vector<std::string> ChildProcess::ReadAll(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{report_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) != 1) break;
        char buf[512];
        ssize_t k = ::read(report_, buf, sizeof buf);
        if (k <= 0) break;
        buffered_.append(buf, static_cast<size_t>(k));
    }
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = buffered_.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(buffered_.substr(at, nl - at));
    if (at < buffered_.size()) lines.push_back(buffered_.substr(at));
    buffered_.clear();
    return lines;
}

int ChildProcess::Wait(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!reaped_) {
        pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
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

void ChildProcess::Kill(int sig) {
    if (!reaped_ && pid_ > 0) ::kill(pid_, sig);
}

}  // namespace testsupport
