// Small pieces the flow sensor, grounding monitor and scan terminal share: their branches in
// the host's tree, access to the variables the base made, and the device name of a row.
#pragma once
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/Variable.h"
#include "platform/time/clock.h"

namespace mb::kit {

// Quality of a value that was good and could not be refreshed.
inline constexpr uint16_t kQualityUncertain = 68;

// The variable the base made for a slot; null for an empty slot.
inline CVariable* Var(const ItemSlot& slot) {
    return dynamic_cast<CVariable*>(slot.variable);
}

inline uint64_t Now() {
    return plat::SysClock().UtcNow100ns();
}

// "Post%i" and the like with the port's name shift added to the address.
inline std::string DeviceName(const char* format, IDevicePort* port, uint8_t address) {
    char buf[64];
    const int shift = port != nullptr ? port->NameShift() : 0;
    std::snprintf(buf, sizeof buf, format, shift + int{address});
    return buf;
}

// What detection learnt of the device: type code, run indicator and words 1 and 2.
inline void TakeIdentity(CDevice& device, const DetectedDevice& found) {
    const auto& w = found.id_words;
    if (!w.empty()) {
        device.type_code = static_cast<uint16_t>(w[0] >> 8);
        device.run_indicator = static_cast<uint8_t>(w[0]);
    }
    if (w.size() > 1) device.id_word1 = w[1];
    if (w.size() > 2) device.id_word2 = w[2];
}

// The host handle of a branch: found by its full name, else created under `parent`; -1 when
// the host has neither callback or refuses.
inline int32_t FindOrCreateBranch(const CHostCalls& host, const std::string& full_name,
                                  const std::string& own_name, int32_t parent) {
    int32_t handle = -1;
    int16_t leaf = 0;
    int32_t up = -1;
    host.ItemFind(plat::Utf8ToWide(full_name).c_str(), leaf, up, handle);
    if (handle < 0) host.ParentCreate(plat::Utf8ToWide(own_name).c_str(), parent, handle);
    return handle;
}

inline void DestroyBranch(const CHostCalls& host, int32_t& handle) {
    if (handle >= 0) host.ItemDestroy(handle);
    handle = -1;
}

// Good values become uncertain; anything else keeps its quality.
inline void Degrade(std::span<ItemSlot> slots, uint64_t time) {
    for (ItemSlot& s : slots)
        if (CVariable* v = Var(s); v != nullptr && v->Quality() == kQualityGood)
            v->SetQuality(kQualityUncertain, time);
}

// A read the host asked for has been done.
inline void LowerReadRequest(CVariable* v) {
    if (v != nullptr && v->ReadRequests() > 0) v->SetReadRequests(v->ReadRequests() - 1);
}

}  // namespace mb::kit
