#include "platform/process/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
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
    // A child starts with every signal at its default and none blocked: the service ignores
    // the hang-up and the user signals for itself (decisions PLAT-SVC-7), not for what it starts.
    posix_spawnattr_t attr;
    if (rc == 0) rc = posix_spawnattr_init(&attr);
    if (rc == 0) {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        rc = posix_spawn(&pid, path.c_str(), &actions, &attr, args.data(), environ);
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid = 0;
    return rc;
}

namespace {

// Children with a waiter of their own: running, or ended and not yet reported by IsRunning
// (an abandoned one is forgotten when it ends).
enum class Watched { Running, Ended, Abandoned };
std::mutex g_watch_mutex;
std::map<pid_t, Watched>& WatchedChildren() {
    static auto* children = new std::map<pid_t, Watched>;  // outlives the detached waiters
    return *children;
}

}  // namespace

void Watch(pid_t pid) {
    if (pid <= 0) return;
    {
        std::lock_guard lk(g_watch_mutex);
        if (!WatchedChildren().emplace(pid, Watched::Running).second) return;
    }
    std::thread([pid] {
        // Waits for the end without reaping, so that the record says "ended" before the pid
        // is gone: nobody sees a child reaped while it is still recorded as running.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        std::lock_guard lk(g_watch_mutex);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) < 0 && errno == EINTR) {
        }
        auto& children = WatchedChildren();
        auto it = children.find(pid);
        if (it == children.end()) return;
        if (it->second == Watched::Abandoned)
            children.erase(it);
        else
            it->second = Watched::Ended;
    }).detach();
}

bool IsRunning(pid_t pid) {
    if (pid <= 0) return false;
    {
        std::lock_guard lk(g_watch_mutex);
        auto& children = WatchedChildren();
        auto it = children.find(pid);
        if (it != children.end()) {
            if (it->second != Watched::Ended) return true;
            children.erase(it);
            return false;
        }
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // 0: still running; the pid or an error (not our child any more): ended.
    return r == 0;
}

void Abandon(pid_t pid) {
    if (pid <= 0) return;
    {
        std::lock_guard lk(g_watch_mutex);
        auto& children = WatchedChildren();
        auto it = children.find(pid);
        if (it != children.end()) {
            // Its waiter reaps it; nobody will ask about it again.
            if (it->second == Watched::Ended)
                children.erase(it);
            else
                it->second = Watched::Abandoned;
            return;
        }
    }
    if (!IsRunning(pid)) return;
    // One detached waiter per child: cheap, and the child is never left a zombie.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace plat::process
