// systemd unit files of a service: the service unit (Type=notify) and its socket unit, written
// at installation and removed at uninstallation. Enabling is done as `systemctl enable` would:
// links in the unit folder's "<target>.wants" folders. The service unit runs as its own user
// with access to the serial lines and the sandbox the serial lines allow.
#pragma once
#include <string>
#include <vector>

#include "platform/service/service.h"

namespace plat::svc {

struct UnitSpec {
    std::string name;         // unit name without suffix: "<name>.service", "<name>.socket"
    std::string description;  // Description= of both units
    std::string exec_path;    // ExecStart= program (absolute)
    std::vector<std::string> args;
    std::string root;         // Environment=NORVALT_ROOT=
    std::string socket_path;  // ListenStream=
    uint32_t socket_mode = 0660;
    std::string socket_group;  // SocketGroup= ("" = none)
    std::string tcp_listen;    // a second ListenStream= ("address:port"; "" = no TCP)
    std::string user;          // User= and Group= ("" = the manager's, root)
    std::string serial_group;  // SupplementaryGroups= ("" = none), the serial devices' group
    StartType start = StartType::Manual;
};

// The system unit folder: units written there need `systemctl daemon-reload`.
// decisions PLAT-SVC-6
inline constexpr const char* kSystemUnitFolder = "/etc/systemd/system";

// $NORVALT_UNIT_DIR; else kSystemUnitFolder when running as root; else "" (no unit files).
std::string UnitFolder();

// The two files' text.
std::string ServiceUnitText(const UnitSpec& settings);
std::string SocketUnitText(const UnitSpec& settings);

// Writes both units into `folder` and enables them by start type: manual = the socket only
// (the service starts on demand), automatic = the service (which pulls in its socket),
// disabled = neither. Links of an earlier installation are replaced. "" on success, else why.
std::string InstallUnits(const std::string& folder, const UnitSpec& settings);
// Removes both units and their links; missing files are no error. "" on success, else why.
std::string RemoveUnits(const std::string& folder, const std::string& name);

}  // namespace plat::svc
