// The client side of the transport: one connection per server and process, reused by every
// creation and kept while the process lives (or until DisconnectAll).
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "platform/types/guid.h"
#include "platform/types/hresult.h"

namespace plat::rpc {

class Connection;

inline constexpr uint16_t kDefaultTcpPort = 4850;
// RPC_S_SERVER_UNAVAILABLE: a named computer that does not answer.
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = MakeHr(0x800706BA);

// The socket of the service installed on the default system root (under /run, where its
// socket unit puts it).
// decisions PLAT-RPC-16
inline constexpr const char* kSystemSocketPath = "/run/norvalt/NorvaltDrv.sock";
// $NORVALT_SOCKET, else kSystemSocketPath on the default system root, else
// <system root>/run/NorvaltDrv.sock.
std::string DefaultSocketPath();

// The connection to the server on `socket_path` / on `computer` ("host", "host:port",
// "[v6addr]:port"; the port defaults to the registry's TcpPort, else 4850). Null with `hr` and
// the error text set when it cannot be made: CO_E_SERVER_EXEC_FAILURE (nothing listening),
// E_ACCESSDENIED (the socket's mode refuses us), RPC_S_SERVER_UNAVAILABLE (TCP).
std::shared_ptr<Connection> ConnectLocal(const std::string& socket_path, HRESULT& hr);
std::shared_ptr<Connection> ConnectComputer(std::string_view computer, HRESULT& hr);

// Creation through those connections (plat::CreateInstance calls these).
HRESULT CreateOnLocalServer(const std::string& socket_path, const CLSID& clsid, const IID& iid,
                            void** out);
HRESULT CreateOnComputer(std::string_view computer, const CLSID& clsid, const IID& iid, void** out);

// Makes plat::CreateInstance reach servers through this transport. Runs by itself when the
// program starts and again from Server::Start; calling it more is harmless.
void InstallOutOfProcessCreator();

// Closes every client connection of this process and waits until each has released what it
// held. Proxies still held fail with RPC_E_DISCONNECTED afterwards.
void DisconnectAll();

}  // namespace plat::rpc
