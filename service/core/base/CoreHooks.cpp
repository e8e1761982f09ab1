#include "service/core/base/CoreHooks.h"

namespace drv {

TCoreHookCells& CoreHooks() {
    static TCoreHookCells cells;
    return cells;
}

void InstallCoreHooks(const TCoreHooks& hooks) {
    TCoreHookCells& c = CoreHooks();
    c.stations_exist.store(hooks.stations_exist);
    c.post_item_added.store(hooks.post_item_added);
    c.opc_server_registered.store(hooks.opc_server_registered);
    c.service_stopping.store(hooks.service_stopping);
}

}  // namespace drv
