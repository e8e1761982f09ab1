// What the device models share: item-slot definitions and access to the variables the base
// made, their branches in the host's tree, identity and names from detection, and request
// accounting and line settings for calls made on the client directly.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/HostCalls.h"
#include "fieldbus/core/Variable.h"
#include "platform/time/clock.h"

namespace mb::kit {

inline uint64_t Now() {
    return plat::SysClock().UtcNow100ns();
}

// --- slots ---

// The model's own part of a slot: how ReadItem and WriteItem treat it.
struct SlotKind {
    int code = 0;
    int size = 0;         // bytes on the device
    bool scaled = false;  // decimal-point scaling applies
};

// A named slot; ranges, interval and decimals are set by the caller where the table has them.
void DefineSlot(ItemSlot& slot, const std::string& parent, const std::string& name,
                plat::VARTYPE raw, uint16_t reg, uint8_t access, uint32_t description,
                uint32_t units = 0, plat::VARTYPE host = plat::VT_EMPTY);
void SetRange(ItemSlot& slot, double minimum, double maximum);

// Index of the slot holding `item`, or -1.
int FindSlot(std::span<ItemSlot> slots, const CDeviceItem* item);
// The variable the base made for a slot; null for an empty slot.
inline CVariable* Var(const ItemSlot& slot) {
    return dynamic_cast<CVariable*>(slot.variable);
}
void PublishSlot(ItemSlot& slot, plat::Variant value, uint16_t quality = kQualityGood);
void SetSlotQuality(ItemSlot& slot, uint16_t quality);
void SetSlotQuality(ItemSlot& slot, uint16_t quality, uint64_t time);
// Every slot's variable to `quality` at `time`.
void SetQualities(std::span<ItemSlot> slots, uint16_t quality, uint64_t time);
// The slot's quality, 0 for an empty slot.
uint16_t SlotQuality(ItemSlot& slot);
// Good values become uncertain; anything else keeps its quality.
void Degrade(std::span<ItemSlot> slots, uint64_t time);
// A read the host asked for has been done.
void LowerReadRequest(CVariable* v);
// The host has asked for a read of the slot's variable.
bool ReadRequested(const ItemSlot& slot);

// --- branches in the host's tree ---

// Handle of the branch `full` ("A.B.C"), each level found by its full name or made with
// pParentCreate where missing; -1 when the host has neither. A leaf of that name is no
// branch: -1.
int32_t FindOrCreateBranchPath(const CHostCalls& host, const std::string& full);
// Handle of the branch found by its full name, else made as `own_name` under `parent` (a leaf
// of that name counts as found); -1 when the host has neither callback or refuses.
int32_t FindOrCreateBranch(const CHostCalls& host, const std::string& full_name,
                           const std::string& own_name, int32_t parent);
// Removes a branch made above from the host; the handle becomes -1.
void DestroyBranch(const CHostCalls& host, int32_t& handle);
// The model's own branch (FindOrCreateBranch of its name under the root) with the slots'
// variables in it; false when a variable or item could not be made. Undone by
// DestroyOwnBranch, the variables first.
bool CreateInOwnBranch(CDevice& device, const CHostCalls& host, std::span<ItemSlot> slots,
                       int32_t& branch);
void DestroyOwnBranch(CDevice& device, const CHostCalls& host, std::span<ItemSlot> slots,
                      int32_t& branch);
// Whether the host has an item of that full name.
bool HostHasItem(const CHostCalls& host, const std::string& full);

// --- detection ---

// "Post%i" and the like with the port's name shift added to the address.
std::string DeviceName(const char* format, IDevicePort* port, uint8_t address);
// What detection learnt of the device: type code, run indicator and words 1 and 2.
void TakeIdentity(CDevice& device, const DetectedDevice& found);
// The model made for a detected device: named by `name_format` (DeviceName), typed and
// identified; null when the host refused its branch or an item (Created()). `more` follows
// the port, address and name in the model's constructor.
template <class Model, class... More>
std::unique_ptr<CDevice> MakeDetected(IDevicePort* port, const DetectedDevice& found,
                                      const char* name_format, const char* type_name,
                                      More... more) {
    auto device = std::make_unique<Model>(port, found.address,
                                          DeviceName(name_format, port, found.address), more...);
    if (!device->Created()) return nullptr;
    device->SetTypeName(type_name);
    TakeIdentity(*device, found);
    return device;
}

// --- calls made on the client directly ---

// Error accounting of a code from the client: 1, 8, 9 raise the error count, 3 the CRC count.
void CountError(CDevice& device, int code);
// Runs a client call; the client's exceptions count as their codes.
template <class F>
int ClientCall(CModbus* m, F&& f) {
    if (m == nullptr) return kMbPortNotOpen;
    try {
        return f(*m);
    } catch (const CModbusException& e) {
        return e.Code();
    }
}

// Saves the answer time-out and silent time of a local line and restores them at scope end.
class LineSettings {
  public:
    LineSettings(CModbus* m, uint32_t answer_ms, uint32_t silent_ms, int retries = -1);
    ~LineSettings();
    LineSettings(const LineSettings&) = delete;
    LineSettings& operator=(const LineSettings&) = delete;

  private:
    CLocalModbus* line_;
    CModbus* m_;
    uint32_t answer_ = 0, silent_ = 0;
    uint16_t retries_ = 0;
    bool set_retries_ = false;
};

}  // namespace mb::kit
