#include "fieldbus/devices/DensMeter.h"

#include <bit>
#include <cmath>
#include <exception>
#include <vector>

#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/Icpcon.h"
#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/core/Variable.h"
#include "fieldbus/devices/DeviceKit.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace mb {

namespace {

ItemSlot MakeSlot(const std::string& parent, const char* name, plat::VARTYPE vt, uint16_t reg,
                  uint32_t description) {
    ItemSlot s;
    s.raw_type = vt;
    s.parent = parent;
    s.name = name;
    s.reg = reg;
    s.access = 1;
    s.description_id = description;
    return s;
}

void Publish(const ItemSlot& slot, plat::Variant value, uint16_t quality, uint64_t now,
             bool force = false) {
    if (CVariable* v = kit::Var(slot))
        v->NewSample(std::move(value), quality, now, force);
    else if (slot.variable != nullptr)
        slot.variable->NewSample(std::move(value), quality, now);
}

// Two registers, the first the low half.
float FloatLowFirst(uint16_t low, uint16_t high) {
    return std::bit_cast<float>(uint32_t{high} << 16 | low);
}

std::vector<uint16_t> Words(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> w(bytes.size() / 2);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return w;
}

bool Before(uint32_t now, uint32_t when) {
    return static_cast<int32_t>(plat::TickDiff(now, when)) < 0;
}

bool LinkError(int code) {
    return code == kMbTimeout || code == kMbWriteError || code == kMbReadError;
}

}  // namespace

float RoundDensity(float v) {
    return static_cast<float>(std::floor(double{v} * 100.0 + 0.5) * double{0.00001f});
}

float RoundTemperature(float v) {
    return static_cast<float>(std::floor(double{v} * 100.0 + 0.5) * double{0.01f});
}

float RoundViscosity(float v) {
    return static_cast<float>(std::floor(double{v} * 10000.0 + 0.5) * double{0.0001f});
}

// ---------------------------------------------------------------------------------------------
// CDensMeter

CDensMeter::CDensMeter(IDevicePort* port, uint8_t address, std::string name)
    : CDevice(address, port), next_poll_(plat::GetTickCount()) {
    SetName(name);
    if (CLogFile* log = Log()) log->Info("{DEDE8E77-C6D3-43ed-B945-CC181C0DEB43} %s", name.c_str());
    slots_[kDensity] = MakeSlot(name, "Density", plat::VT_R4, 1, 4032);
    slots_[kTemperature] = MakeSlot(name, "Temperature", plat::VT_R4, 3, 4033);
    slots_[kViscosity] = MakeSlot(name, "Viscosity", plat::VT_R4, 5, 4034);
    slots_[kState] = MakeSlot(name, "State", plat::VT_I4, 0, 4066);
    slots_[kState].alarm_help = true;
    kit::CreateInOwnBranch(*this, Host(), slots_, branch_);
    // Made without identification: the first step reads every value once.
    SetReinit();
}

CDensMeter::~CDensMeter() {
    // Before this part of the device goes: State asks it for its alarm text.
    kit::DestroyOwnBranch(*this, Host(), slots_, branch_);
    if (CLogFile* log = Log())
        log->Info("{A489F9E1-F2F0-4af7-992C-DD08F01FC28B} %s", Name().c_str());
}

void CDensMeter::SetBadQuality() {
    const uint64_t now = plat::SysClock().UtcNow100ns();
    kit::SetQualities(slots_, kQualityBad, now);
}

bool CDensMeter::Init() {
    next_poll_ = plat::GetTickCount() + kPollMs;
    float (*const round[])(float) = {RoundDensity, RoundTemperature, RoundViscosity};
    for (size_t k = kDensity; k <= kViscosity; ++k) {
        // The same word order as the poll: the first register is the low half.
        std::vector<uint8_t> bytes;
        const int code = ReadBytes(slots_[k].reg, 4, bytes);
        const std::vector<uint16_t> w = Words(bytes);
        const float raw = code == kMbOk && w.size() == 2 ? FloatLowFirst(w[0], w[1]) : 0.0f;
        const float value = round[k](raw);
        Publish(slots_[k], plat::Variant::R4(value), value == 0.0f ? kQualityBad : kQualityGood,
                plat::SysClock().UtcNow100ns(), true);
    }
    // State is one register.
    std::vector<uint8_t> bytes;
    const int code = ReadBytes(slots_[kState].reg, 2, bytes);
    const std::vector<uint16_t> w = Words(bytes);
    const bool ok = code == kMbOk && w.size() == 1;
    Publish(slots_[kState], plat::Variant::I4(ok ? w[0] : 0), ok ? kQualityGood : kQualityBad,
            plat::SysClock().UtcNow100ns(), true);
    return true;
}

bool CDensMeter::ReadItem(CDeviceItem* item) {
    bool ours = false;
    for (const ItemSlot& s : slots_) ours = ours || (item != nullptr && s.variable == item);
    if (!ours) return false;
    std::vector<uint8_t> bytes;
    const int code = ReadBytes(0, 14, bytes);
    StampContact();
    const uint64_t now = plat::SysClock().UtcNow100ns();
    const std::vector<uint16_t> w = Words(bytes);
    if (code != kMbOk || w.size() != 7) {
        kit::Degrade(slots_, now);
        return false;
    }
    Publish(slots_[kState], plat::Variant::I4(w[0]), kQualityGood, now);
    kit::LowerReadRequest(kit::Var(slots_[kState]));
    float (*const round[])(float) = {RoundDensity, RoundTemperature, RoundViscosity};
    for (size_t k = kDensity; k <= kViscosity; ++k) {
        const float raw = FloatLowFirst(w[1 + 2 * k], w[2 + 2 * k]);
        // 0 is no measurement, except for the temperature.
        if (raw != 0.0f || k == kTemperature) {
            Publish(slots_[k], plat::Variant::R4(round[k](raw)), kQualityGood, now);
            kit::LowerReadRequest(kit::Var(slots_[k]));
        } else {
            kit::SetSlotQuality(slots_[k], kQualityBad, now);
        }
    }
    SetErrorCount(0);
    return true;
}

int CDensMeter::Scan() {
    CLogFile* log = Log();
    try {
        if (NeedsReinit() && Init()) ClearReinit();
        ReadItemFromDevice(slots_);
        const uint32_t now = plat::GetTickCount();
        if (Before(now, next_poll_)) {
            plat::Sleep(50);
            return 0;
        }
        if (log != nullptr) log->Trace("Scan Lvx%s, Pr-%d", Name().c_str(), GetState());
        next_poll_ = now + kPollMs;
        if (kit::ReadRequested(slots_[kDensity]) || kit::ReadRequested(slots_[kTemperature]) ||
            kit::ReadRequested(slots_[kViscosity]))
            ReadItem(slots_[kDensity].variable);
    } catch (...) {
        if (log != nullptr) log->Info("{7F36BCB7-4BF9-4c45-8AF7-4649FCF1BCBA} %s", Name().c_str());
    }
    return 1;
}

std::string CDensMeter::DefineErrorText(int32_t value, plat::LCID lcid) {
    const uint32_t id = DensityErrorTextId(static_cast<uint32_t>(value));
    std::string text;
    if (!LoadText(id, lcid, text)) LoadText(id, text);
    return text;
}

// ---------------------------------------------------------------------------------------------
// CDensMeterICPCON

CDensMeterICPCON::CDensMeterICPCON(IDevicePort* port, uint8_t address, std::string name)
    : CDevice(address, port), next_poll_(plat::GetTickCount()) {
    SetName(name);
    if (CLogFile* log = Log()) log->Info("{B6969C7B-3481-4662-B9A2-E14871F9B2F3} %s", name.c_str());
    slots_[kState] = MakeSlot(name, "State", plat::VT_I4, 0, 0);
    slots_[kDensity] = MakeSlot(name, "Density", plat::VT_R4, 1, 4032);
    slots_[kTemperature] = MakeSlot(name, "Temperature", plat::VT_R4, 3, 4033);
    slots_[kViscosity] = MakeSlot(name, "Viscosity", plat::VT_R4, 5, 4034);
    kit::CreateInOwnBranch(*this, Host(), slots_, branch_);
}

CDensMeterICPCON::~CDensMeterICPCON() {
    kit::DestroyOwnBranch(*this, Host(), slots_, branch_);
    if (CLogFile* log = Log())
        log->Info("{DE654304-0DCD-486f-92D5-7F82A7DEDE82} %s", Name().c_str());
}

void CDensMeterICPCON::SetBadQuality() {
    if (CLogFile* log = Log())
        log->Trace("{B1C61628-23B8-401b-ABA3-D4EF5394438E} %s", Name().c_str());
    StampContact();
    const uint64_t now = plat::SysClock().UtcNow100ns();
    kit::SetQualities(slots_, kQualityBad, now);
}

bool CDensMeterICPCON::Init() {
    next_poll_ = plat::GetTickCount() + kPollMs;
    return true;
}

int CDensMeterICPCON::Scan() {
    CLogFile* log = Log();
    try {
        if (NeedsReinit() && Init()) ClearReinit();
        const uint32_t now = plat::GetTickCount();
        if (Before(now, next_poll_)) {
            plat::Sleep(500);
            return 0;
        }
        if (log != nullptr) log->Trace("Scan LvxICPCON %s", Name().c_str());
        next_poll_ = now + kPollMs;
        CLocalICPCON* dcon = Port() != nullptr ? Port()->PortIcpcon() : nullptr;
        if (kit::ReadRequested(slots_[kDensity]) || kit::ReadRequested(slots_[kTemperature]) ||
            kit::ReadRequested(slots_[kViscosity])) {
            float v[3] = {0, 0, 0};
            bool read[3] = {false, false, false};
            const int code =
                dcon != nullptr ? dcon->ReadParameter(GetAddress(), v, read) : plat::E_FAIL;
            StampContact();
            IncRequestCount();
            const uint64_t t = plat::SysClock().UtcNow100ns();
            if (code == dcon::kOk || code == dcon::kRefused) {
                const bool refused = code == dcon::kRefused;
                if (refused) {
                    kit::SetSlotQuality(slots_[kDensity], kQualityBad, t);
                    kit::SetSlotQuality(slots_[kViscosity], kQualityBad, t);
                } else {
                    Publish(slots_[kDensity], plat::Variant::R4(RoundDensity(v[0])), kQualityGood,
                            t);
                    Publish(slots_[kViscosity], plat::Variant::R4(v[2]), kQualityGood, t);
                }
                // A refusal keeps the temperature only when it carried one: the short
                // refusal "?AA" has no fields, and its 0.0 is no measurement.
                if (!refused || read[1])
                    Publish(slots_[kTemperature], plat::Variant::R4(v[1]), kQualityGood, t);
                else
                    kit::SetSlotQuality(slots_[kTemperature], kQualityBad, t);
                SetErrorCount(0);
            } else {
                kit::SetSlotQuality(slots_[kDensity], kQualityBad, t);
                kit::SetSlotQuality(slots_[kTemperature], kQualityBad, t);
                kit::SetSlotQuality(slots_[kViscosity], kQualityBad, t);
                // Wrong answers (72, 73) show a module that is there: no link error.
                if (LinkError(code)) IncErrorCount();
            }
        }
        StampContact();
        uint8_t status = 0;
        const int code = dcon != nullptr ? dcon->ReadStatus(GetAddress(), status) : plat::E_FAIL;
        const uint64_t t = plat::SysClock().UtcNow100ns();
        if (code == dcon::kOk) {
            last_status_ = status;
            Publish(slots_[kState], plat::Variant::I4(status), kQualityGood, t);
        } else {
            kit::SetSlotQuality(slots_[kState], kQualityBad, t);
            if (LinkError(code)) IncErrorCount();
        }
        for (const ItemSlot& s : slots_) kit::LowerReadRequest(kit::Var(s));
    } catch (...) {
        if (log != nullptr) log->Info("{A15C60C7-6BE0-411d-AA81-A7C800E37730} %s", Name().c_str());
        for (const ItemSlot& s : slots_) kit::LowerReadRequest(kit::Var(s));
    }
    return 0;
}

namespace {

std::string MeterName(IDevicePort* port, uint8_t address) {
    return "DensMeter" + std::to_string((port != nullptr ? port->NameShift() : 0) + address);
}

}  // namespace

std::unique_ptr<CDevice> MakeDensMeter(IDevicePort* port, const DetectedDevice& found) {
    auto device = std::make_unique<CDensMeter>(port, found.address, MeterName(port, found.address));
    device->SetTypeName("LVX3");
    return device;
}

std::unique_ptr<CDevice> MakeDensMeterIcpcon(IDevicePort* port, const DetectedDevice& found) {
    auto device =
        std::make_unique<CDensMeterICPCON>(port, found.address, MeterName(port, found.address));
    device->SetTypeName("LVX3ICPCON");
    return device;
}

}  // namespace mb
