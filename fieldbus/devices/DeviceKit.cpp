#include "fieldbus/devices/DeviceKit.h"

#include <cstdio>

namespace mb::kit {

void DefineSlot(ItemSlot& slot, const std::string& parent, const std::string& name,
                plat::VARTYPE raw, uint16_t reg, uint8_t access, uint32_t description,
                uint32_t units, plat::VARTYPE host) {
    slot.parent = parent;
    slot.name = name;
    slot.raw_type = raw;
    slot.canonical_type = host;
    slot.reg = reg;
    slot.access = access;
    slot.description_id = description;
    slot.units_id = units;
}

void SetRange(ItemSlot& slot, double minimum, double maximum) {
    slot.minimum = minimum;
    slot.maximum = maximum;
}

int FindSlot(std::span<ItemSlot> slots, const CDeviceItem* item) {
    if (item == nullptr) return -1;
    for (size_t i = 0; i < slots.size(); ++i)
        if (slots[i].variable == item) return static_cast<int>(i);
    return -1;
}

void PublishSlot(ItemSlot& slot, plat::Variant value, uint16_t quality) {
    if (slot.variable != nullptr) slot.variable->NewSample(std::move(value), quality, Now());
}

void SetSlotQuality(ItemSlot& slot, uint16_t quality) {
    SetSlotQuality(slot, quality, Now());
}

void SetSlotQuality(ItemSlot& slot, uint16_t quality, uint64_t time) {
    if (slot.variable != nullptr) slot.variable->SetQuality(quality, time);
}

void SetQualities(std::span<ItemSlot> slots, uint16_t quality, uint64_t time) {
    for (ItemSlot& s : slots) SetSlotQuality(s, quality, time);
}

uint16_t SlotQuality(ItemSlot& slot) {
    CVariable* v = Var(slot);
    return v != nullptr ? v->Quality() : kQualityBad;
}

void Degrade(std::span<ItemSlot> slots, uint64_t time) {
    for (ItemSlot& s : slots)
        if (CVariable* v = Var(s); v != nullptr && v->Quality() == kQualityGood)
            v->SetQuality(kQualityUncertain, time);
}

void LowerReadRequest(CVariable* v) {
    if (v != nullptr && v->ReadRequests() > 0) v->SetReadRequests(v->ReadRequests() - 1);
}

bool ReadRequested(const ItemSlot& slot) {
    CVariable* v = Var(slot);
    return v != nullptr && v->ReadRequests() > 0;
}

int32_t FindOrCreateBranchPath(const CHostCalls& host, const std::string& full) {
    if (host.Lacks(&HostCallbacks::pItemFind) || full.empty()) return -1;
    int32_t parent = -1;
    size_t pos = 0;
    for (;;) {
        const size_t dot = full.find('.', pos);
        const std::string upto = full.substr(0, dot);
        const std::string leaf = full.substr(pos, dot == std::string::npos ? dot : dot - pos);
        int16_t is_leaf = 0;
        int32_t out = -1;
        int32_t h = -1;
        if (!host.ItemFind(plat::Utf8ToWide(upto).c_str(), is_leaf, out, h)) return -1;
        if (h >= 0 && is_leaf != 0) return -1;
        if (h < 0) {
            if (!host.ParentCreate(plat::Utf8ToWide(leaf).c_str(), parent, h) || h < 0) return -1;
        }
        parent = h;
        if (dot == std::string::npos) return parent;
        pos = dot + 1;
    }
}

int32_t FindOrCreateBranch(const CHostCalls& host, const std::string& full_name,
                           const std::string& own_name, int32_t parent) {
    int32_t handle = -1;
    int16_t leaf = 0;
    int32_t up = -1;
    host.ItemFind(plat::Utf8ToWide(full_name).c_str(), leaf, up, handle);
    if (handle < 0) host.ParentCreate(plat::Utf8ToWide(own_name).c_str(), parent, handle);
    return handle;
}

void DestroyBranch(const CHostCalls& host, int32_t& handle) {
    if (handle >= 0) host.ItemDestroy(handle);
    handle = -1;
}

bool CreateInOwnBranch(CDevice& device, const CHostCalls& host, std::span<ItemSlot> slots,
                       int32_t& branch) {
    branch = FindOrCreateBranch(host, device.Name(), device.Name(), -1);
    return device.CreateVariables(slots);
}

void DestroyOwnBranch(CDevice& device, const CHostCalls& host, std::span<ItemSlot> slots,
                      int32_t& branch) {
    device.DestroyVariables(slots);
    DestroyBranch(host, branch);
}

bool HostHasItem(const CHostCalls& host, const std::string& full) {
    int16_t is_leaf = 0;
    int32_t out = -1;
    int32_t h = -1;
    return host.ItemFind(plat::Utf8ToWide(full).c_str(), is_leaf, out, h) && h >= 0;
}

std::string DeviceName(const char* format, IDevicePort* port, uint8_t address) {
    char buf[64];
    const int shift = port != nullptr ? port->NameShift() : 0;
    std::snprintf(buf, sizeof buf, format, shift + int{address});
    return buf;
}

void TakeIdentity(CDevice& device, const DetectedDevice& found) {
    const auto& w = found.id_words;
    if (!w.empty()) {
        device.type_code = static_cast<uint16_t>(w[0] >> 8);
        device.run_indicator = static_cast<uint8_t>(w[0]);
    }
    if (w.size() > 1) device.id_word1 = w[1];
    if (w.size() > 2) device.id_word2 = w[2];
}

void CountError(CDevice& device, int code) {
    device.IncRequestCount();
    if (code == kMbTimeout || code == kMbWriteError || code == kMbReadError)
        device.IncErrorCount();
    else if (code == kMbCrcError)
        device.IncCrcErrorCount();
}

LineSettings::LineSettings(CModbus* m, uint32_t answer_ms, uint32_t silent_ms, int retries)
    : line_(dynamic_cast<CLocalModbus*>(m)), m_(m) {
    if (line_ != nullptr) {
        answer_ = line_->GetAnswerTimeout();
        silent_ = line_->GetSilentTimeout();
        line_->SetAnswerTimeout(answer_ms);
        line_->SetSilentTimeout(silent_ms);
    }
    if (m_ != nullptr && retries >= 0) {
        retries_ = m_->GetRetries();
        set_retries_ = true;
        m_->SetRetries(static_cast<uint16_t>(retries));
    }
}

LineSettings::~LineSettings() {
    if (line_ != nullptr) {
        line_->SetAnswerTimeout(answer_);
        line_->SetSilentTimeout(silent_);
    }
    if (m_ != nullptr && set_retries_) m_->SetRetries(retries_);
}

}  // namespace mb::kit
