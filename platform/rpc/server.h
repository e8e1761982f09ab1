// The server side of the transport: listens on the local socket (and on TCP when enabled),
// accepts connections and serves the class objects registered with plat::RegisterClassObject.
//
// Who may connect is decided by the socket's file mode and group (registry SocketMode, default
// 0660, and SocketGroup, default the administrators group AdminGroup). A socket handed over by
// systemd (LISTEN_PID/LISTEN_FDS) is used as it is: its mode is the unit's business. TCP listens
// on loopback unless TcpAddress names a wider address; TCP callers are remote: never
// administrators, and not authenticated at all.
//
// Connections are limited in total and per user (per remote host over TCP): one local user
// cannot take every descriptor and thread of the service. A connection over the limit is
// accepted, closed at once and logged.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/types/hresult.h"

namespace plat::rpc {

class Connection;

inline constexpr uint32_t kDefaultSocketMode = 0660;
inline constexpr const char* kDefaultTcpAddress = "127.0.0.1";
inline constexpr size_t kMaxConnections = 256;
inline constexpr size_t kMaxConnectionsPerUser = 32;

struct ServerOptions {
    std::string socket_path;        // "" = DefaultSocketPath()
    bool socket_activation = true;  // take sockets passed by systemd when they are ours
    // Unset values come from the registry (kTransportKey), then the defaults.
    std::optional<bool> tcp_enabled;
    std::string tcp_address;           // "" = registry TcpAddress, else kDefaultTcpAddress
    std::optional<uint16_t> tcp_port;  // 0 = any free port (TcpPort() tells which)
    std::optional<uint32_t> socket_mode;
    std::optional<std::string> socket_group;  // unset: SocketGroup, else AdminGroupName()
    size_t max_connections = kMaxConnections;
    size_t max_connections_per_user = kMaxConnectionsPerUser;
};

class Server {
  public:
    Server();
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // S_OK, or a failure with the error text set (socket in use by a live server, path too
    // long, bind refused...).
    HRESULT Start(const ServerOptions& options = {});
    // Stops listening, ends every connection and waits until each has released what it held.
    void Stop();

    bool Running() const { return running_; }
    const std::string& SocketPath() const { return socket_path_; }
    uint16_t TcpPort() const { return tcp_port_; }
    // The numeric address TCP listens on ("" without TCP).
    const std::string& TcpAddress() const { return tcp_address_; }
    bool Activated() const { return activated_; }
    size_t ConnectionCount() const;
    std::vector<std::shared_ptr<Connection>> Connections() const;

  private:
    void AcceptLoop();
    void Accept(int listen_fd, bool tcp);
    bool Admit(int fd, CallContext& ctx, const std::string& user, std::string& refusal);
    HRESULT ListenUnix(const ServerOptions& o);
    HRESULT ListenTcp(const ServerOptions& o);
    void TakeActivationSockets();

    bool running_ = false;
    bool activated_ = false;
    bool own_socket_file_ = false;
    uint64_t socket_ino_ = 0;
    std::string socket_path_;
    uint16_t tcp_port_ = 0;
    std::string tcp_address_;
    size_t max_connections_ = kMaxConnections;
    size_t max_per_user_ = kMaxConnectionsPerUser;
    uint64_t refused_unlogged_ = 0;  // acceptor only
    uint64_t last_refusal_log_ms_ = 0;
    int unix_fd_ = -1;
    int tcp_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread acceptor_;

    mutable std::mutex m_;
    std::vector<std::shared_ptr<Connection>> conns_;
    std::map<const Connection*, std::string> user_of_;  // m_: key of the per-user count
    std::map<std::string, size_t> per_user_;            // m_
};

}  // namespace plat::rpc
