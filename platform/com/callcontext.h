// Who is calling: the per-call context that replaces impersonation and the Administrators test.
// Inside a call that came through the object transport it describes the peer; anywhere else it
// describes this process (what a same-process caller would be).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types/variant.h"

namespace plat {

// HKLM key of the transport and security settings:
//   AdminGroup  sz     Unix group whose members count as administrators (default "sudo")
//   SocketMode  dword  file mode of the local socket (default 0660)
//   SocketGroup sz     group of the local socket (default: AdminGroup)
//   TcpEnabled  dword  1 = also listen on TCP (default 0)
//   TcpAddress  sz     address to listen on (default "127.0.0.1"; "0.0.0.0" or "::" to listen
//   wider) TcpPort     dword  TCP port for listening and for reaching a named computer (default
//   4850)
//   TrustRemoteClients dword  1 = a TCP caller may become a trusted client (default 0)
inline constexpr std::string_view kTransportKey = "Software\\Norvalt\\Drv\\Transport";
inline constexpr std::string_view kDefaultAdminGroup = "sudo";

inline constexpr uint32_t kNoUid = 0xFFFFFFFFu;

struct CallContext {
    bool transported = false;  // the call came through the object transport
    bool remote = false;       // from another computer (TCP): never an administrator
    uint32_t uid = kNoUid;     // the peer's user (kNoUid over TCP)
    uint32_t gid = kNoUid;
    int32_t pid = 0;     // the peer's process (0 over TCP)
    bool admin = false;  // uid 0 or a member of the administrators group
    LCID locale = LOCALE_EN_US;
    std::string peer;  // "unix:pid=N uid=N" or "tcp:address:port"
};

// The context of the call this thread is serving, else this process's own.
const CallContext& GetCallContext();

// Makes `ctx` the thread's context until destroyed (nests). The transport uses it.
class CallContextScope {
  public:
    explicit CallContextScope(const CallContext& ctx);
    ~CallContextScope();
    CallContextScope(const CallContextScope&) = delete;
    CallContextScope& operator=(const CallContextScope&) = delete;

  private:
    const CallContext* prev_;
};

// The administrators group from the registry (AdminGroup), "sudo" when unset.
std::string AdminGroupName();
// Whether a caller from another computer may become a trusted client by its name
// (TrustRemoteClients = 1); anyone who reaches the TCP port can give that name.
bool TrustRemoteClients();
// uid 0, or `uid` (with primary group `gid`, kNoUid when unknown) is a member of the
// administrators group: its primary group, the user's supplementary groups, or `gid`.
bool IsAdministrator(uint32_t uid, uint32_t gid);

// The process's locale: set by SetProcessLocale, else from LC_ALL, LC_MESSAGES or LANG
// ("ru..." gives 1049, anything else 1033). 0 restores the environment's choice.
LCID ProcessLocale();
void SetProcessLocale(LCID lcid);

}  // namespace plat
