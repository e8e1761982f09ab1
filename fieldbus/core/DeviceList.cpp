#include "fieldbus/core/DeviceList.h"

#include <algorithm>
#include <limits>

#include "fieldbus/core/Device.h"

namespace mb {

namespace {

// Counters of devices that are never picked (offline ones while nobody re-probes) must not
// overflow.
int32_t SaturatedAdd(int32_t counter, int64_t add) {
    int64_t v = int64_t{counter} + add;
    return static_cast<int32_t>(std::min<int64_t>(v, std::numeric_limits<int32_t>::max()));
}

}  // namespace

CDeviceList::~CDeviceList() {
    DeleteAll();
}

bool CDeviceList::Add(std::unique_ptr<CDevice> device) {
    if (!device) return false;
    for (const auto& d : devices_)
        if (d.get() == device.get()) {
            (void)device.release();  // already owned by the list
            return false;
        }
    devices_.push_back(std::move(device));
    return true;
}

std::unique_ptr<CDevice> CDeviceList::Remove(CDevice* device) {
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->get() != device) continue;
        std::unique_ptr<CDevice> out = std::move(*it);
        devices_.erase(it);
        return out;
    }
    return nullptr;
}

CDevice* CDeviceList::FindByAddress(uint8_t address) const {
    for (const auto& d : devices_)
        if (d->GetAddress() == address && !d->IsMarkedForRemoval()) return d.get();
    return nullptr;
}

int CDeviceList::CountActive() const {
    return static_cast<int>(std::count_if(devices_.begin(), devices_.end(),
                                          [](const auto& d) { return d->IsOnline(); }));
}

void CDeviceList::DeleteAll() {
    while (!devices_.empty()) {
        // Out of the list first, so a destructor that looks at the list finds it consistent.
        std::unique_ptr<CDevice> d = std::move(devices_.front());
        devices_.erase(devices_.begin());
        d.reset();
    }
}

int CDeviceList::Age() {
    const int64_t n = static_cast<int64_t>(devices_.size());
    for (auto& d : devices_) {
        CDeviceState& s = *d;
        s.counter_ = SaturatedAdd(s.counter_, 1);
        if (!s.IsOnline() || s.IsOffline()) continue;
        if (s.ReadBacksPending() != 0) s.counter_ = SaturatedAdd(s.counter_, n * n + 2);
        if (s.WritesQueued()) s.counter_ = SaturatedAdd(s.counter_, n * n + 5);
        const int32_t state = s.GetState();
        if (state == kStateGood)
            s.counter_ = SaturatedAdd(s.counter_, n);
        else if (state == kStateFound)
            s.counter_ = SaturatedAdd(s.counter_, n / 2);
    }
    return static_cast<int>(n);
}

// The eligible device with the largest counter (earliest on ties) takes the turn. Only that one
// loses its counter; clearing every running maximum on the way would starve the first devices of
// the list.
CDevice* CDeviceList::PickLargest(bool (*eligible)(const CDevice&)) {
    CDevice* out = nullptr;
    int32_t best = 0;
    for (auto& d : devices_) {
        if (!eligible(*d)) continue;
        if (d->counter_ > best) {
            best = d->counter_;
            out = d.get();
        }
    }
    if (out != nullptr) out->counter_ = 0;
    return out;
}

bool CDeviceList::PickNext(CDevice*& out) {
    out = nullptr;
    if (Age() == 0) return false;
    out = PickLargest([](const CDevice& d) { return d.IsOnline() && !d.IsOffline(); });
    return out != nullptr;
}

// decisions FB-16
bool CDeviceList::PickOffline(CDevice*& out) {
    out = PickLargest([](const CDevice& d) { return d.IsOffline() && !d.IsOnline(); });
    return out != nullptr;
}

}  // namespace mb
