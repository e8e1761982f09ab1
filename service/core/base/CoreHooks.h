// The host's seams into the core: the probes and hooks by which core code calls the service
// host above it. The host fills one `TCoreHooks` and installs it once at start, before the core
// starts; what a line of core code may call up to is this struct. decisions HOST-72
//
// The core's own seams, by which a lower core folder calls an upper one, stay with the part that
// owns them and are set where that part starts: the protocol hook (logs/ProtocolLog.h, set by the
// item tree), the branch factory (items/ItemTree.h) and the "Parameters" changed hook
// (ports/Parameters.h, both set by the System items), and the port manager's port factories and
// fixed address space hook (ports/PortManager.h, members of `TPortManager`).
#pragma once
#include <atomic>
#include <string>

namespace drv {

using StationsExistFn = bool (*)();
using PostItemAddedFn = void (*)(const std::string& full_name);
using OPCServerRegisteredFn = bool (*)();
using StoppingFn = bool (*)();

struct TCoreHooks {
    // Whether any simplified-access object exists (poll priorities rank probes only while none
    // does). Switched on and off with the station list (InitStations, DoneStations).
    StationsExistFn stations_exist = nullptr;
    // Called when a post variable ("Post<n>.<name>") joins the tree; with the station list too.
    PostItemAddedFn post_item_added = nullptr;
    // Whether the OPC server class is registered (saved post values are kept only then); unset
    // counts as registered.
    OPCServerRegisteredFn opc_server_registered = nullptr;
    // The service module's stopping flag; while it answers true no station can be created.
    StoppingFn service_stopping = nullptr;
};

// Installs every entry of `hooks`, unset ones included.
void InstallCoreHooks(const TCoreHooks& hooks);

// The installed entries. Each is atomic: tests set single entries between runs (the one-line
// setters next to the code that calls them), while the core's threads read them.
struct TCoreHookCells {
    std::atomic<StationsExistFn> stations_exist{nullptr};
    std::atomic<PostItemAddedFn> post_item_added{nullptr};
    std::atomic<OPCServerRegisteredFn> opc_server_registered{nullptr};
    std::atomic<StoppingFn> service_stopping{nullptr};
};
TCoreHookCells& CoreHooks();

}  // namespace drv
