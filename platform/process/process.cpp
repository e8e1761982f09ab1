#include "platform/process/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

extern char** environ;

namespace plat::process {

std::string ExeFolder() {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            break;
        }
        buf.resize(buf.size() * 2);
    }
    const size_t slash = buf.rfind('/');
    return slash == std::string::npos ? std::string() : buf.substr(0, slash + 1);
}

int Spawn(const std::string& path, const std::vector<std::string>& argv, pid_t& pid) {
    pid = 0;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0) return rc;
    rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0) rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid = 0;
    return rc;
}

bool IsRunning(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // 0: still running; the pid or an error (not our child any more): ended.
    return r == 0;
}

void Abandon(pid_t pid) {
    if (pid <= 0 || !IsRunning(pid)) return;
    // One detached waiter per child: cheap, and the child is never left a zombie.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace plat::process
