#include "fieldbus/devices/GRQ.h"

#include <bit>
#include <exception>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/DeviceKit.h"
#include "platform/time/clock.h"

namespace mb {

using kit::Var;

namespace {

constexpr size_t kSlotState = 0, kSlotText = 1, kSlotCapacity = 2, kSlotMin = 3, kSlotMax = 4;
constexpr int kKindState = 256, kKindMin = 257, kKindMax = 258;

struct Def {
    const char* name;
    plat::VARTYPE type;
    uint16_t reg;
    int kind;
    uint32_t description;
};

const Def kDefs[CGRQDevice::kSlots] = {
    {"State", plat::VT_I4, 0, kKindState, 4123},
    {"StateTxt", plat::VT_BSTR, 0, 0, 4123},
    {"Capacity", plat::VT_R4, 1, 0, 4124},
    {"MinCapacity", plat::VT_R4, 3, kKindMin, 4125},
    {"MaxCapacity", plat::VT_R4, 5, kKindMax, 4126},
};

bool Before(uint32_t now, uint32_t due) {
    return static_cast<int32_t>(now - due) < 0;
}

}  // namespace

CGRQDevice::CGRQDevice(IDevicePort* port, uint8_t address, std::string name)
    : CDevice(address, port) {
    SetName(std::move(name));
    if (CLogFile* log = Log())
        log->Info("{C2A8F3E0-DE4F-434c-BD6D-EC82DF36AF3F} %s", Name().c_str());
    for (size_t i = 0; i < kSlots; ++i) {
        ItemSlot& s = slots_[i];
        s.raw_type = kDefs[i].type;
        s.min_interval_ms = 0;
        s.parent = Name();
        s.name = kDefs[i].name;
        s.reg = kDefs[i].reg;
        s.access = 1;
        s.description_id = kDefs[i].description;
    }
    slots_[kSlotText].initial = plat::Variant::Str("");
    created_ = kit::CreateInOwnBranch(*this, Host(), slots_, branch_);
    SetReinit();
}

CGRQDevice::~CGRQDevice() {
    kit::DestroyOwnBranch(*this, Host(), slots_, branch_);
    if (CLogFile* log = Log())
        log->Info("{E56B243A-4076-45fe-83F5-AB393C678757} %s", Name().c_str());
}

std::string CGRQDevice::StateText(int32_t state) {
    const uint32_t id = state >= 0 && state <= 6 ? 4127 + static_cast<uint32_t>(state) : 4134;
    std::string text;
    LoadText(id, text);
    return text;
}

bool CGRQDevice::ReadMeasurement() {
    std::vector<uint8_t> b;
    int code = ReadBytes(0, 6, b);
    StampContact();
    if (code == kMbOk && b.size() != 6) code = kMbInvalidAnswer;
    if (code != kMbOk) {
        kit::Degrade(std::span<ItemSlot>(slots_.data(), 3), LastContact());
        return false;
    }
    const uint16_t w0 = static_cast<uint16_t>(b[0] << 8 | b[1]);
    const uint32_t w1 = static_cast<uint32_t>(b[2] << 8 | b[3]);
    const uint32_t w2 = static_cast<uint32_t>(b[4] << 8 | b[5]);
    const int32_t state = w0;
    const uint64_t t = LastContact();
    if (CDeviceItem* v = slots_[kSlotState].variable)
        v->NewSample(plat::Variant::I4(state), kQualityGood, t);
    if (CDeviceItem* v = slots_[kSlotText].variable)
        v->NewSample(plat::Variant::Str(StateText(state)), kQualityGood, t);
    // The capacitance's high half is the second register.
    if (CDeviceItem* v = slots_[kSlotCapacity].variable)
        v->NewSample(plat::Variant::R4(std::bit_cast<float>(w2 << 16 | w1)), kQualityGood, t);
    for (size_t i = kSlotState; i <= kSlotCapacity; ++i)
        if (CVariable* v = Var(slots_[i])) v->SetReadRequests(0);
    return true;
}

bool CGRQDevice::ReadLimit(size_t slot) {
    CDeviceItem* v = slots_[slot].variable;
    if (v == nullptr) return false;
    std::vector<uint8_t> b;
    int code = ReadBytes(slots_[slot].reg, 4, b);
    if (code == kMbOk && b.size() != 4) code = kMbInvalidAnswer;
    if (code != kMbOk) {
        v->SetQuality(kQualityBad, kit::Now());
        return false;
    }
    StampContact();
    const uint32_t lo = static_cast<uint32_t>(b[0] << 8 | b[1]);
    const uint32_t hi = static_cast<uint32_t>(b[2] << 8 | b[3]);
    v->NewSample(plat::Variant::R4(std::bit_cast<float>(hi << 16 | lo)), kQualityGood,
                 LastContact());
    kit::LowerReadRequest(Var(slots_[slot]));
    return true;
}

bool CGRQDevice::ReadItem(CDeviceItem* item) {
    for (size_t i = 0; i < kSlots; ++i) {
        if (item == nullptr || slots_[i].variable != item) continue;
        switch (kDefs[i].kind) {
            case kKindState:
                return ReadMeasurement();
            case kKindMin:
            case kKindMax:
                return ReadLimit(i);
            default:
                // The text and the capacitance come with the state.
                return ReadMeasurement();
        }
    }
    return false;
}

bool CGRQDevice::Init() {
    due_ = plat::GetTickCount() + kIntervalMs;
    ReadMeasurement();
    ReadLimit(kSlotMin);
    ReadLimit(kSlotMax);
    return true;
}

int CGRQDevice::Scan() {
    CLogFile* log = Log();
    try {
        if (NeedsReinit() && Init()) ClearReinit();
        ReadItemFromDevice(slots_);
        // Nothing here is writable, but a queued write still owes its client an answer.
        ExecuteNextWrite();
        if (Before(plat::GetTickCount(), due_)) {
            plat::Sleep(kIdleSleepMs);
            return 0;
        }
        if (log != nullptr) log->Trace("Scan GRQ%s, Pr-%d", Name().c_str(), GetState());
        due_ = plat::GetTickCount() + kIntervalMs;
        bool asked = false;
        for (size_t i = kSlotState; i <= kSlotCapacity; ++i)
            if (kit::ReadRequested(slots_[i])) asked = true;
        if (asked) ReadMeasurement();
    } catch (const std::exception&) {
        if (log != nullptr) log->Info("{8657ABEF-60A6-4e0a-A94E-5DC9AA5232AC} %s", Name().c_str());
    }
    return 1;
}

void CGRQDevice::SetBadQuality() {
    kit::SetQualities(slots_, kQualityBad, kit::Now());
}

std::unique_ptr<CDevice> MakeGRQ(IDevicePort* port, const DetectedDevice& found) {
    return kit::MakeDetected<CGRQDevice>(port, found, "GRQ%i", "ГРК");
}

}  // namespace mb
