#include "platform/service/units.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sysroot/sysroot.h"

namespace plat::svc {

namespace {

constexpr const char* kServiceTarget = "multi-user.target";
constexpr const char* kSocketTarget = "sockets.target";

// Specifiers (%) are expanded in every setting: a literal % is doubled.
std::string EscapeSpecifiers(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

// One word of ExecStart= or Environment=: quoted, with \, " escaped and $ doubled (ExecStart
// expands variables).
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : EscapeSpecifiers(s)) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '$') out += '$';
        out += c;
    }
    return out + "\"";
}

bool HasLineBreak(const UnitSpec& settings) {
    auto bad = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    if (bad(settings.name) || bad(settings.description) || bad(settings.exec_path) ||
        bad(settings.root) || bad(settings.socket_path) || bad(settings.socket_group) ||
        bad(settings.tcp_listen) || bad(settings.user) || bad(settings.serial_group))
        return true;
    for (const auto& a : settings.args)
        if (bad(a)) return true;
    return false;
}

std::string WriteWhole(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return tmp + ": " + std::strerror(errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string why = tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return why;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(tmp.c_str());
        return tmp + ": " + std::strerror(errno);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string why = path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return why;
    }
    return {};
}

std::string RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return path + ": " + std::strerror(errno);
}

// "<folder>/<target>.wants/<unit>" -> "../<unit>".
std::string Link(const std::string& folder, const char* target, const std::string& unit) {
    const std::string wants = folder + "/" + target + ".wants";
    if (!EnsureDirectory(wants)) return wants + ": cannot be created";
    const std::string link = wants + "/" + unit;
    ::unlink(link.c_str());
    if (::symlink(("../" + unit).c_str(), link.c_str()) != 0)
        return link + ": " + std::strerror(errno);
    return {};
}

std::string Unlink(const std::string& folder, const char* target, const std::string& unit) {
    const std::string wants = folder + "/" + target + ".wants";
    std::string why = RemoveFile(wants + "/" + unit);
    ::rmdir(wants.c_str());  // only when empty
    return why;
}

}  // namespace

std::string UnitFolder() {
    if (const char* dir = std::getenv("NORVALT_UNIT_DIR"); dir && *dir) return dir;
    if (::geteuid() == 0) return kSystemUnitFolder;
    return {};
}

// True when `path` is `folder` or lies below it.
bool Under(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// "/run/<name>/<file>" gives "<name>": the folder systemd makes for the service (and keeps
// while the socket unit holds the socket in it).
std::string RuntimeFolderName(const std::string& socket_path) {
    if (!Under(socket_path, "/run")) return {};
    const std::string rest = socket_path.substr(5);
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0 || rest.find('/', slash + 1) != std::string::npos)
        return {};
    return rest.substr(0, slash);
}

std::string ServiceUnitText(const UnitSpec& settings) {
    std::string exec = Quote(settings.exec_path);
    for (const auto& a : settings.args) exec += " " + Quote(a);
    std::string t;
    t += "[Unit]\n";
    t += "Description=" + EscapeSpecifiers(settings.description) + "\n";
    t += "Requires=" + settings.name + ".socket\n";
    t += "After=" + settings.name + ".socket\n";
    t += "\n[Service]\n";
    t += "Type=notify\n";
    t += "NotifyAccess=main\n";
    t += "ExecStart=" + exec + "\n";
    if (!settings.root.empty()) t += "Environment=" + Quote("NORVALT_ROOT=" + settings.root) + "\n";
    t += "Environment=" + Quote("NORVALT_SOCKET=" + settings.socket_path) + "\n";
    // The stop refuses while clients are attached; systemctl stop is the shutdown, which
    // ends the ports and may take a while.
    t += "TimeoutStopSec=90\n";
    // The idle exit and a refused-then-accepted stop end with 0; only a fault restarts.
    t += "Restart=on-failure\n";
    t += "RestartSec=5\n";
    if (!settings.user.empty()) {
        t += "User=" + EscapeSpecifiers(settings.user) + "\n";
        t += "Group=" + EscapeSpecifiers(settings.user) + "\n";
    }
    if (!settings.serial_group.empty())
        t += "SupplementaryGroups=" + EscapeSpecifiers(settings.serial_group) + "\n";
    if (const std::string run = RuntimeFolderName(settings.socket_path); !run.empty()) {
        t += "RuntimeDirectory=" + run + "\n";
        // The socket unit's socket lives in it between runs.
        t += "RuntimeDirectoryPreserve=yes\n";
    }
    t += "UMask=0027\n";
    // The sandbox. Serial lines rule out PrivateDevices= and DevicePolicy= (any tty driver,
    // USB adapters plugged in later) and PrivateNetwork= (TCP clients); the poll threads'
    // real-time priority needs CAP_SYS_NICE and rules out RestrictRealtime=.
    // decisions PLAT-SVC-5
    t += "ProtectSystem=strict\n";
    if (!settings.root.empty()) t += "ReadWritePaths=" + Quote(settings.root) + "\n";
    const std::string& root = settings.root;
    if (!Under(root, "/home") && !Under(root, "/root") && !Under(root, "/run/user"))
        t += "ProtectHome=yes\n";
    if (!Under(root, "/tmp") && !Under(root, "/var/tmp")) t += "PrivateTmp=yes\n";
    t += "NoNewPrivileges=yes\n";
    t += "CapabilityBoundingSet=CAP_SYS_NICE\n";
    if (!settings.user.empty()) t += "AmbientCapabilities=CAP_SYS_NICE\n";
    t += "ProtectKernelTunables=yes\n";
    t += "ProtectKernelModules=yes\n";
    t += "ProtectKernelLogs=yes\n";
    t += "ProtectControlGroups=yes\n";
    t += "ProtectClock=yes\n";
    t += "ProtectHostname=yes\n";
    t += "ProtectProc=invisible\n";
    t += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
    t += "RestrictNamespaces=yes\n";
    t += "RestrictSUIDSGID=yes\n";
    t += "LockPersonality=yes\n";
    t += "MemoryDenyWriteExecute=yes\n";
    t += "RemoveIPC=yes\n";
    t += "SystemCallArchitectures=native\n";
    t += "SystemCallFilter=@system-service\n";
    t += "SystemCallErrorNumber=EPERM\n";
    t += "\n[Install]\n";
    t += std::string("WantedBy=") + kServiceTarget + "\n";
    return t;
}

std::string SocketUnitText(const UnitSpec& settings) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", settings.socket_mode & 07777);
    std::string t;
    t += "[Unit]\n";
    t += "Description=" + EscapeSpecifiers(settings.description) + " (socket)\n";
    t += "\n[Socket]\n";
    t += "ListenStream=" + EscapeSpecifiers(settings.socket_path) + "\n";
    t += std::string("SocketMode=") + mode + "\n";
    if (!settings.socket_group.empty()) t += "SocketGroup=" + settings.socket_group + "\n";
    if (!settings.tcp_listen.empty())
        t += "ListenStream=" + EscapeSpecifiers(settings.tcp_listen) + "\n";
    t += "\n[Install]\n";
    t += std::string("WantedBy=") + kSocketTarget + "\n";
    return t;
}

std::string InstallUnits(const std::string& folder, const UnitSpec& settings) {
    if (folder.empty()) return "no unit folder";
    if (settings.name.empty() || settings.name.find('/') != std::string::npos)
        return "bad unit name \"" + settings.name + "\"";
    if (HasLineBreak(settings)) return "a unit setting holds a line break";
    if (settings.exec_path.empty() || settings.exec_path[0] != '/')
        return "the program path is not absolute: " + settings.exec_path;
    if (settings.socket_path.empty() || settings.socket_path[0] != '/')
        return "the socket path is not absolute: " + settings.socket_path;
    if (!EnsureDirectory(folder)) return folder + ": cannot be created";
    const std::string service = settings.name + ".service";
    const std::string socket = settings.name + ".socket";
    if (auto why = WriteWhole(folder + "/" + service, ServiceUnitText(settings)); !why.empty())
        return why;
    if (auto why = WriteWhole(folder + "/" + socket, SocketUnitText(settings)); !why.empty())
        return why;
    Unlink(folder, kServiceTarget, service);
    Unlink(folder, kSocketTarget, socket);
    switch (settings.start) {
        case StartType::Manual:
            return Link(folder, kSocketTarget, socket);
        case StartType::Automatic:
            return Link(folder, kServiceTarget, service);
        case StartType::Disabled:
            break;
    }
    return {};
}

std::string RemoveUnits(const std::string& folder, const std::string& name) {
    if (folder.empty()) return {};
    std::string why;
    auto keep = [&](std::string w) {
        if (why.empty()) why = std::move(w);
    };
    keep(Unlink(folder, kServiceTarget, name + ".service"));
    keep(Unlink(folder, kSocketTarget, name + ".socket"));
    keep(RemoveFile(folder + "/" + name + ".service"));
    keep(RemoveFile(folder + "/" + name + ".socket"));
    return why;
}

}  // namespace plat::svc
