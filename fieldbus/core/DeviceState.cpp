#include "fieldbus/core/DeviceState.h"

namespace mb {

int32_t CDeviceState::SetState(int32_t code) {
    const bool good = IsGoodState(code);
    online_.exchange(good ? 1 : 0);
    int32_t was_offline = offline_.exchange(good ? 0 : 1);
    state_.store(code);
    return was_offline;
}

void CDeviceState::DoneReadBack() {
    int32_t v = read_backs_.load();
    while (v > 0 && !read_backs_.compare_exchange_weak(v, v - 1)) {
    }
}

}  // namespace mb
