#include "platform/rpc/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/sysroot/sysroot.h"

namespace plat::rpc {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

HRESULT Fail(HRESULT hr, const std::string& text) {
    SetErrorText(text);
    return hr;
}

std::string ReadRegString(std::string_view name) {
    std::string v;
    if (reg::ReadString(reg::Hive::LocalMachine, kTransportKey, name, v) != ERROR_SUCCESS)
        v.clear();
    return v;
}

std::optional<uint32_t> ReadRegDword(std::string_view name) {
    uint32_t v;
    if (reg::ReadDword(reg::Hive::LocalMachine, kTransportKey, name, v) != ERROR_SUCCESS)
        return std::nullopt;
    return v;
}

// Numeric host and port of a TCP socket address.
std::string HostOf(const sockaddr_storage& ss, uint16_t& port) {
    char host[INET6_ADDRSTRLEN] = "?";
    port = 0;
    if (ss.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
    }
    return host;
}

std::string PeerAddress(int fd, std::string& host) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    host = "?";
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return "tcp:?";
    uint16_t port = 0;
    host = HostOf(ss, port);
    return "tcp:" + host + ":" + std::to_string(port);
}

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

Server::Server() = default;
Server::~Server() {
    Stop();
}

void Server::TakeActivationSockets() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::strtol(pid, nullptr, 10) != ::getpid()) return;
    long n = std::strtol(fds, nullptr, 10);
    for (int fd = 3; fd < 3 + n && fd < 3 + 16; ++fd) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int listening = 0;
        socklen_t ilen = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &ilen) != 0 || !listening)
            continue;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (ss.ss_family == AF_UNIX && unix_fd_ < 0) {
            unix_fd_ = fd;
            auto* un = reinterpret_cast<sockaddr_un*>(&ss);
            socket_path_.assign(un->sun_path, ::strnlen(un->sun_path, sizeof un->sun_path));
            activated_ = true;
        } else if ((ss.ss_family == AF_INET || ss.ss_family == AF_INET6) && tcp_fd_ < 0) {
            tcp_fd_ = fd;
            tcp_address_ = HostOf(ss, tcp_port_);
            activated_ = true;
        }
    }
    // Children must not take them for theirs.
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
}

// decisions PLAT-RPC-15
HRESULT Server::ListenUnix(const ServerOptions& o) {
    socket_path_ = o.socket_path.empty() ? DefaultSocketPath() : o.socket_path;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string tmp = socket_path_ + ".new" + std::to_string(::getpid());
    if (tmp.size() >= sizeof addr.sun_path)
        return Fail(E_INVALIDARG, "Socket path too long: " + socket_path_);
    if (auto slash = socket_path_.rfind('/'); slash != std::string::npos && slash > 0)
        EnsureDirectory(socket_path_.substr(0, slash));

    // A live server on the path keeps it; a stale socket file is replaced.
    {
        sockaddr_un probe{};
        probe.sun_family = AF_UNIX;
        std::memcpy(probe.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
        int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&probe), sizeof probe) == 0) {
            ::close(s);
            return Fail(E_FAIL, "Another server is listening on " + socket_path_);
        }
        if (s >= 0) ::close(s);
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(E_FAIL, Errno("socket"));
    std::memcpy(addr.sun_path, tmp.c_str(), tmp.size() + 1);
    ::unlink(tmp.c_str());
    // Bound under a temporary name and given its mode and group before it takes the real
    // name, so nobody can connect while it is still too open.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        HRESULT hr = Fail(E_ACCESSDENIED, Errno(("bind " + tmp).c_str()));
        ::close(fd);
        return hr;
    }
    uint32_t mode =
        o.socket_mode ? *o.socket_mode : ReadRegDword("SocketMode").value_or(kDefaultSocketMode);
    // The socket belongs to the administrators group unless a group of its own is configured;
    // operators who are no administrators are let in through SocketGroup.
    std::string group = o.socket_group ? *o.socket_group : ReadRegString("SocketGroup");
    const bool group_configured = !group.empty();
    // decisions PLAT-RPC-13
    if (!group_configured) group = AdminGroupName();
    bool ok = ::chmod(tmp.c_str(), static_cast<mode_t>(mode & 0777)) == 0;
    std::string why = ok ? "" : Errno("chmod");
    if (ok && !group.empty()) {
        std::vector<char> buf(16384);
        struct group gr {};
        struct group* grp = nullptr;
        if (::getgrnam_r(group.c_str(), &gr, buf.data(), buf.size(), &grp) != 0 || !grp) {
            // A group the configuration names must exist; a missing default leaves the
            // service's own group, which is no wider.
            if (group_configured) {
                ok = false;
                why = "unknown group " + group;
            } else {
                Log("rpc: administrators group " + group + " not found; " + socket_path_ +
                    " keeps the service's group");
            }
        } else if (::chown(tmp.c_str(), static_cast<uid_t>(-1), grp->gr_gid) != 0) {
            // A service account outside the default group (no socket unit handing it the
            // socket) keeps its own group, which is no wider; a configured group must hold.
            if (group_configured || errno != EPERM) {
                ok = false;
                why = Errno("chown");
            } else {
                Log("rpc: " + socket_path_ + " cannot be given to the administrators group " +
                    group + "; it keeps the service's group");
            }
        }
    }
    if (ok && ::listen(fd, 64) != 0) ok = false, why = Errno("listen");
    if (ok && ::rename(tmp.c_str(), socket_path_.c_str()) != 0) ok = false, why = Errno("rename");
    if (!ok) {
        ::unlink(tmp.c_str());
        ::close(fd);
        return Fail(E_ACCESSDENIED, "Cannot listen on " + socket_path_ + ": " + why);
    }
    unix_fd_ = fd;
    own_socket_file_ = true;
    struct stat st {};
    socket_ino_ = ::stat(socket_path_.c_str(), &st) == 0 ? st.st_ino : 0;
    return S_OK;
}

HRESULT Server::ListenTcp(const ServerOptions& o) {
    // decisions PLAT-RPC-14
    std::string address = !o.tcp_address.empty() ? o.tcp_address : ReadRegString("TcpAddress");
    // Loopback unless the registry names a wider address: nothing on TCP is authenticated.
    if (address.empty()) address = kDefaultTcpAddress;
    uint32_t port = o.tcp_port ? *o.tcp_port : ReadRegDword("TcpPort").value_or(kDefaultTcpPort);
    if (port > 65535) return Fail(E_INVALIDARG, "TcpPort out of range");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const std::string ports = std::to_string(port);
    if (int e = ::getaddrinfo(address.c_str(), ports.c_str(), &hints, &res); e != 0)
        return Fail(E_INVALIDARG, "TcpAddress " + address + ": " + ::gai_strerror(e));
    std::string why = "no address";
    for (addrinfo* a = res; a && tcp_fd_ < 0; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
            tcp_fd_ = fd;
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
            tcp_address_ = HostOf(ss, tcp_port_);
        } else {
            why = std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(res);
    if (tcp_fd_ < 0)
        return Fail(E_ACCESSDENIED, "Cannot listen on TCP " + address + ":" + ports + ": " + why);
    return S_OK;
}

HRESULT Server::Start(const ServerOptions& o) {
    if (running_) return Fail(E_UNEXPECTED, "Server already running");
    InstallOutOfProcessCreator();  // a server that creates elsewhere needs no call of its own
    max_connections_ = o.max_connections;
    max_per_user_ = o.max_connections_per_user;
    if (o.socket_activation) TakeActivationSockets();
    HRESULT hr = S_OK;
    if (unix_fd_ < 0) hr = ListenUnix(o);
    bool tcp = o.tcp_enabled ? *o.tcp_enabled : ReadRegDword("TcpEnabled").value_or(0) != 0;
    if (Succeeded(hr) && tcp && tcp_fd_ < 0) hr = ListenTcp(o);
    if (Succeeded(hr) && ::pipe2(wake_, O_CLOEXEC) != 0) hr = Fail(E_FAIL, Errno("pipe"));
    if (Failed(hr)) {
        std::string text = GetErrorText();
        Stop();
        SetErrorText(text);
        return hr;
    }
    running_ = true;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return S_OK;
}

void Server::AcceptLoop() {
    for (;;) {
        pollfd p[3] = {{wake_[0], POLLIN, 0}, {unix_fd_, POLLIN, 0}, {tcp_fd_, POLLIN, 0}};
        int rc = ::poll(p, 3, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            Log("rpc: accept: " + Errno("poll"));
            return;
        }
        if (p[0].revents) return;
        if (p[1].revents & POLLIN) Accept(unix_fd_, false);
        if (p[2].revents & POLLIN) Accept(tcp_fd_, true);
    }
}

void Server::Accept(int listen_fd, bool tcp) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            Log("rpc: accept: " + Errno("accept"));
            ::usleep(100000);  // no descriptor left: let some close before trying again
        }
        return;
    }
    CallContext ctx;
    std::string user;
    if (tcp) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        ctx.remote = true;
        ctx.admin = false;
        std::string host;
        ctx.peer = PeerAddress(fd, host);
        user = "tcp:" + host;
    } else {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            ::close(fd);
            return;
        }
        ctx.uid = cred.uid;
        ctx.gid = cred.gid;
        ctx.pid = cred.pid;
        ctx.admin = IsAdministrator(cred.uid, cred.gid);
        ctx.peer = "unix:pid=" + std::to_string(cred.pid) + " uid=" + std::to_string(cred.uid);
        user = "uid=" + std::to_string(cred.uid);
    }
    std::string refusal;
    {
        std::lock_guard lk(m_);
        if (!Admit(fd, ctx, user, refusal)) ::close(fd);
    }
    if (!refusal.empty()) Log(refusal);
}

// Caller holds m_. False when the connection is over a limit; `refusal` is then the line to
// log, or empty while a flood of refusals is being counted.
bool Server::Admit(int fd, CallContext& ctx, const std::string& user, std::string& refusal) {
    const char* over = conns_.size() >= max_connections_  ? "connections"
                       : per_user_[user] >= max_per_user_ ? "connections of this user"
                                                          : nullptr;
    if (over) {
        if (per_user_[user] == 0) per_user_.erase(user);
        // A flood of refusals is logged once a second, with the count of those left out.
        ++refused_unlogged_;
        const uint64_t now = SteadyMs();
        if (last_refusal_log_ms_ == 0 || now - last_refusal_log_ms_ >= 1000) {
            const size_t limit =
                conns_.size() >= max_connections_ ? max_connections_ : max_per_user_;
            std::string line = "rpc: refused " + ctx.peer + ": too many " + over + " (" +
                               std::to_string(limit) + ")";
            if (refused_unlogged_ > 1)
                line += "; " + std::to_string(refused_unlogged_ - 1) + " more refused before";
            refusal = std::move(line);
            refused_unlogged_ = 0;
            last_refusal_log_ms_ = now;
        }
        return false;
    }
    auto c =
        Connection::Start(fd, Connection::Role::Server, std::move(ctx), [this](Connection* dead) {
            std::lock_guard l(m_);
            std::erase_if(conns_,
                          [&](const std::shared_ptr<Connection>& x) { return x.get() == dead; });
            if (auto it = user_of_.find(dead); it != user_of_.end()) {
                if (auto n = per_user_.find(it->second); n != per_user_.end() && --n->second == 0)
                    per_user_.erase(n);
                user_of_.erase(it);
            }
        });
    user_of_[c.get()] = user;
    ++per_user_[user];
    conns_.push_back(std::move(c));
    return true;
}

void Server::Stop() {
    if (acceptor_.joinable()) {
        char b = 1;
        (void)!::write(wake_[1], &b, 1);
        acceptor_.join();
    }
    for (int* fd : {&wake_[0], &wake_[1]})
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
    if (unix_fd_ >= 0) {
        if (own_socket_file_) {
            // Only our own file: a newer server may have taken the path.
            struct stat st {};
            if (::stat(socket_path_.c_str(), &st) == 0 && st.st_ino == socket_ino_)
                ::unlink(socket_path_.c_str());
        }
        ::close(std::exchange(unix_fd_, -1));
    }
    if (tcp_fd_ >= 0) ::close(std::exchange(tcp_fd_, -1));
    std::vector<std::shared_ptr<Connection>> all = Connections();
    for (auto& c : all) c->Close();
    for (auto& c : all) c->WaitClosed();
    running_ = false;
    own_socket_file_ = false;
    tcp_address_.clear();
}

size_t Server::ConnectionCount() const {
    std::lock_guard lk(m_);
    return conns_.size();
}

std::vector<std::shared_ptr<Connection>> Server::Connections() const {
    std::lock_guard lk(m_);
    return conns_;
}

}  // namespace plat::rpc
