#include "platform/rpc/client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/com/callcontext.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/connection.h"
#include "platform/sysroot/sysroot.h"

namespace plat::rpc {

namespace {

constexpr int kConnectTimeoutMs = 5000;

struct ClientTable {
    std::mutex m;
    std::map<std::string, std::shared_ptr<Connection>> by_endpoint;
};

ClientTable& Clients() {
    static auto* t = new ClientTable;
    return *t;
}

// The live connection for `key`, or a new one made by `connect` (which returns a socket).
template <class F>
std::shared_ptr<Connection> Cached(const std::string& key, const std::string& peer, HRESULT& hr,
                                   F&& connect) {
    ClientTable& t = Clients();
    std::lock_guard lk(t.m);
    auto it = t.by_endpoint.find(key);
    if (it != t.by_endpoint.end()) {
        if (it->second->Alive()) return it->second;
        t.by_endpoint.erase(it);
    }
    int fd = connect();
    if (fd < 0) return nullptr;
    CallContext ctx;
    ctx.peer = peer;
    ctx.remote = key.rfind("tcp:", 0) == 0;
    auto c = Connection::Start(fd, Connection::Role::Client, ctx);
    t.by_endpoint[key] = c;
    hr = S_OK;
    return c;
}

void SetTcpOptions(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
}

}  // namespace

std::string DefaultSocketPath() {
    const char* env = std::getenv("NORVALT_SOCKET");
    if (env && *env) return env;
    std::string root = SystemRoot();
    if (!root.empty() && root.back() == '/') root.pop_back();
    // The installed service's socket is in its runtime folder, as its socket unit has it.
    if (root == kDefaultSystemRoot) return kSystemSocketPath;
    return root + "/run/NorvaltDrv.sock";
}

std::shared_ptr<Connection> ConnectLocal(const std::string& socket_path, HRESULT& hr) {
    return Cached("unix:" + socket_path, "unix:" + socket_path, hr, [&]() -> int {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (socket_path.size() >= sizeof addr.sun_path) {
            hr = E_INVALIDARG;
            SetErrorText("Socket path too long: " + socket_path);
            return -1;
        }
        std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            hr = E_OUTOFMEMORY;
            SetErrorText(std::string("socket: ") + std::strerror(errno));
            return -1;
        }
        int rc;
        do rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            int e = errno;
            ::close(fd);
            hr = (e == EACCES || e == EPERM) ? E_ACCESSDENIED : CO_E_SERVER_EXEC_FAILURE;
            SetErrorText("Cannot reach the server at " + socket_path + ": " + std::strerror(e));
            return -1;
        }
        return fd;
    });
}

std::shared_ptr<Connection> ConnectComputer(std::string_view computer, HRESULT& hr) {
    std::string host(computer);
    std::string port;
    if (!host.empty() && host.front() == '[') {
        auto close = host.find(']');
        if (close != std::string::npos) {
            if (close + 1 < host.size() && host[close + 1] == ':') port = host.substr(close + 2);
            host = host.substr(1, close - 1);
        }
    } else if (auto colon = host.find(':');
               colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (port.empty()) {
        uint32_t p = kDefaultTcpPort;
        if (reg::ReadDword(reg::Hive::LocalMachine, kTransportKey, "TcpPort", p) != ERROR_SUCCESS ||
            !p || p > 65535)
            p = kDefaultTcpPort;
        port = std::to_string(p);
    }
    const std::string where = host + ":" + port;
    return Cached("tcp:" + where, "tcp:" + where, hr, [&]() -> int {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (int e = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res); e != 0) {
            hr = RPC_S_SERVER_UNAVAILABLE;
            SetErrorText("Cannot resolve " + host + ": " + ::gai_strerror(e));
            return -1;
        }
        int fd = -1;
        std::string why = "no address";
        for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
            int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                             a->ai_protocol);
            if (s < 0) continue;
            int rc = ::connect(s, a->ai_addr, a->ai_addrlen);
            if (rc < 0 && errno == EINPROGRESS) {
                pollfd p{s, POLLOUT, 0};
                rc = ::poll(&p, 1, kConnectTimeoutMs);
                int err = 0;
                socklen_t len = sizeof err;
                if (rc == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                    rc = 0;
                else {
                    errno = rc == 0 ? ETIMEDOUT : (err ? err : errno);
                    rc = -1;
                }
            }
            if (rc == 0) {
                ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
                SetTcpOptions(s);
                fd = s;
            } else {
                why = std::strerror(errno);
                ::close(s);
            }
        }
        ::freeaddrinfo(res);
        if (fd < 0) {
            hr = RPC_S_SERVER_UNAVAILABLE;
            SetErrorText("Cannot reach " + where + ": " + why);
        }
        return fd;
    });
}

HRESULT CreateOnLocalServer(const std::string& socket_path, const CLSID& clsid, const IID& iid,
                            void** out) {
    HRESULT hr = S_OK;
    auto c = ConnectLocal(socket_path, hr);
    if (!c) return hr;
    return c->CreateInstance(clsid, iid, out);
}

HRESULT CreateOnComputer(std::string_view computer, const CLSID& clsid, const IID& iid,
                         void** out) {
    HRESULT hr = S_OK;
    auto c = ConnectComputer(computer, hr);
    if (!c) return hr;
    return c->CreateInstance(clsid, iid, out);
}

namespace {

HRESULT CreateOutOfProcess(std::string_view computer, const std::string& socket_path,
                           const CLSID& clsid, const IID& iid, void** out) {
    if (!computer.empty()) return CreateOnComputer(computer, clsid, iid, out);
    return CreateOnLocalServer(socket_path.empty() ? DefaultSocketPath() : socket_path, clsid, iid,
                               out);
}

// Installs the creator before main() in every program this file is linked into; the platform
// library makes the linker keep this file whenever it is used (see norvalt_rpc_creator_anchor
// below).
const struct CreatorRegistrar {
    CreatorRegistrar() { InstallOutOfProcessCreator(); }
} g_creator_registrar;

}  // namespace

void InstallOutOfProcessCreator() {
    SetOutOfProcessCreator(&CreateOutOfProcess);
}

void DisconnectAll() {
    std::map<std::string, std::shared_ptr<Connection>> all;
    {
        ClientTable& t = Clients();
        std::lock_guard lk(t.m);
        all.swap(t.by_endpoint);
    }
    for (auto& [key, c] : all) c->Close();
    for (auto& [key, c] : all) c->WaitClosed();
}

}  // namespace plat::rpc

// Named by the platform library's link options, so that this file (and its registrar) is linked
// into every program that uses the library, even one that never calls the transport itself.
extern "C" [[gnu::used]] const char norvalt_rpc_creator_anchor = 0;
