#include "fieldbus/devices/Post.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/devices/PostSlots.h"
#include "platform/time/clock.h"

namespace mb {

using namespace post_detail;

namespace {

constexpr uint32_t kDispensingHoldMs = 5000;

}  // namespace

int32_t RawToPostState(uint16_t raw) {
    switch (raw & 0xF0) {
        case 0:
            return kPostIdle;
        case 16:
        case 64:
            return kPostWaitingKey;
        case 32:
            return kPostWorking;
        case 48:
        case 80:
            return kPostPaused;
        case 96:
            return kPostControllerError;
        default:
            return -1;
    }
}

// decisions DEV-4
int32_t PostStateToRaw(int32_t state) {
    switch (state) {
        case kPostIdle:
            return 0;
        case kPostWaitingKey:
            return 16;
        case kPostWorking:
            return 32;
        case kPostPaused:
            return 48;
        case kPostControllerError:
            return 96;
        default:
            return -1;
    }
}

CPost::CPost(CControlUnit* unit, int channel, uint16_t number, uint16_t base, int side,
             uint32_t identity, uint16_t option)
    : CDevice(unit->GetAddress(), unit->Port()),
      unit_(unit),
      channel_(channel),
      number_(number),
      base_(base),
      side_(side),
      identity_(identity),
      option_(option) {
    char name[32];
    std::snprintf(name, sizeof name, "Post%i", number);
    SetName(name);
    features_ = identity != 0 ? identity : 0xF120u;
    const uint16_t build = unit->Build();
    if (build > 33) {
        temperature_ = (option >> 3 & 1) != 0;
        density_ = (option >> 2 & 1) != 0;
        mass_ = (option >> 1 & 1) != 0;
        volume_ = (option & 1) != 0;
        productivity_ = (option >> 4 & 1) != 0;
    } else {
        temperature_ = unit->OptionA();
        density_ = unit->OptionB();
        mass_ = unit->OptionC();
        volume_ = productivity_ = true;
    }
    if (build > 40) {
        level_ = (option >> 5 & 1) != 0;
        free_state_ = (option >> 6 & 1) != 0;
    }
    if (CLogFile* log = Log())
        log->Info("{POST_FLAG} %s %d %d %d %d %d %d %d", Name().c_str(), temperature_, density_,
                  mass_, volume_, productivity_, level_, free_state_);
    const bool flat = Port() != nullptr && Port()->FlatPosts();
    branch_ = flat ? Name() : unit->Name() + "." + Name();
    if (kit::HostHasItem(Host(), branch_ + ".State")) {
        if (CLogFile* log = Log())
            log->Error("{3B7D2E94-1A6C-4F08-B5D3-9E2A7C4F1B60} %s", branch_.c_str());
        valid_ = false;
        return;
    }
    branch_handle_ = kit::FindOrCreateBranchPath(Host(), branch_);
    Define();
    CreateVariables(slots_);
    SetReinit();
}

CPost::~CPost() {
    unit_->ForgetPost(this);
    DestroyVariables(slots_);
    // The branch goes with its items, so a stopped port leaves no empty post behind.
    if (branch_handle_ >= 0) Host().ItemDestroy(branch_handle_);
}

bool CPost::Limited() const {
    return unit_->Limited() != 0;
}

uint16_t CPost::Reg(uint16_t offset) const {
    return static_cast<uint16_t>(channel_ * 256 + offset);
}

ItemSlot* CPost::Find(const std::string& name) {
    for (auto& s : slots_)
        if (s.name == name) return &s;
    return nullptr;
}

void CPost::Define() {
    auto def = [&](size_t i, const char* name, plat::VARTYPE vt, int offset, int size,
                   uint8_t access, int code, uint32_t desc, uint32_t units = 0,
                   plat::VARTYPE host = plat::VT_EMPTY, bool fixed = false) {
        kit::DefineSlot(slots_[i], branch_, name, vt,
                        fixed ? static_cast<uint16_t>(offset) : Reg(static_cast<uint16_t>(offset)),
                        access, desc, units, host);
        kinds_[i] = kit::SlotKind{code, size, false};
    };
    auto bit = [&](size_t i, const char* name, uint16_t mask, uint32_t desc) {
        kit::DefineSlot(slots_[i], branch_, name, plat::VT_BOOL, mask, 1, desc);
        kinds_[i] = kit::SlotKind{kCodeFlags, 1, false};
    };
    auto text = [&](size_t i, const char* name, int offset, int chars, uint8_t access,
                    uint32_t interval, uint32_t desc, uint32_t units, plat::VARTYPE host) {
        def(i, name, plat::VT_BSTR, offset, chars, access, kCodeText, desc, units, host);
        slots_[i].min_interval_ms = interval;
        slots_[i].initial = plat::Variant::Str(std::string_view("0"));
        kit::SetRange(slots_[i], 0, chars);
    };
    def(kState, "State", plat::VT_I4, 15, 2, 3, kCodeState, 4005, 0, plat::VT_UI1);
    if (Limited()) return;
    const uint16_t build = unit_->Build();
    const bool flat = Port() != nullptr && Port()->FlatPosts();
    def(kSide, "Side", plat::VT_I4, 0, 2, 1, 0, 4001);
    kit::SetRange(slots_[kSide], 1, 2);
    def(kAddress, "Address", plat::VT_I4, 1, 2, 3, kCodeAddress, 4002);
    kit::SetRange(slots_[kAddress], 1, 65535);
    def(kFlags, "StateWithFlags", plat::VT_I4, 14, 2, 1, kCodeFlags, 4004);
    if (features_ & 0x1000) bit(kEarthed, "Earthed", 0x1000, 4006);
    if (features_ & 0x8000) bit(kTrap, "TrapState", 0x8000, 4007);
    if (features_ & 0x2000) bit(kHandle, "HandleState", 0x2000, 4008);
    if (features_ & 0x300) bit(kOverFill, "OverFill", 0x300, 4009);
    if ((features_ & 0x80) && build > 55) bit(kGas, "Gas", 0x80, 0);
    if (features_ & 0x4000) bit(kHandleGr, "HandleGrState", 0x4000, 4008);
    if (features_ & 0x20) bit(kStartStop, "StartStop", 0x20, 4100);
    if (volume_) {
        text(kTotalV, "TotalV", 16, 12, 1, 10000, 4010, 4011, plat::VT_R8);
        text(kCurrentV, "CurrentV", 22, 8, 1, 3050, 4012, 4011, plat::VT_R8);
        text(kDozeV, "DozeV", 46, 8, 3, 20000, 4013, 4011, plat::VT_R8);
    }
    if (productivity_) text(kProductivity, "Productivity", 26, 6, 1, 6000, 4014, 4015, plat::VT_R4);
    def(kPowerPlat, "StatePowerPlat", plat::VT_I4, 13, 2, 1, 0, 4016);
    def(kSnap, "SnapSensor", plat::VT_I4, 12, 2, 1, 0, 4017);
    if (flat) {
        def(kBasePost, "BasePost", plat::VT_I4, 0, 2, 1, kCodeBasePost, 4019, 0, plat::VT_EMPTY,
            true);
        slots_[kBasePost].initial = plat::Variant::I4(1);
    }
    if (mass_) {
        text(kTotalW, "TotalW", 29, 12, 1, 10000, 4020, 4021, plat::VT_R8);
        text(kCurrentW, "CurrentW", 35, 8, 1, 6000, 4022, 4021, plat::VT_R8);
        if (build > 63) {
            text(kDozeW, "DozeW", 50, 8, 3, 20000, 4013, 4021, plat::VT_R8);
            text(kProductivityW, "ProductivityW", 42, 6, 1, 6000, 4014, 4122, plat::VT_R4);
        }
    }
    if (density_) {
        def(kDensity, "Density", plat::VT_R4, 39, 4, 1, 0, 4023, 4024);
        slots_[kDensity].min_interval_ms = 5000;
        slots_[kDensity].decimals = 5;
    }
    if (temperature_) {
        def(kTemperature, "Temperature", plat::VT_R4, 10, 4, 1, 0, 4025, 4026);
        slots_[kTemperature].min_interval_ms = 10000;
        slots_[kTemperature].decimals = 1;
    }
    if (build > 28) {
        def(kException, "Exception", plat::VT_UI2, 248, 2, 3, kCodeException, 4066);
        slots_[kException].min_interval_ms = 20000;
        slots_[kException].alarm_help = true;
        def(kExceptionParameter, "ExceptionParameter", plat::VT_UI2, 249, 2, 1, 0, 4066);
        slots_[kExceptionParameter].min_interval_ms = 30000;
        slots_[kExceptionParameter].alarm_help = true;
    }
    if (level_) {
        def(kTopDistance, "TopDistance", plat::VT_I4, 41, 2, 1, kCodeTopDistance, 4111, 4112,
            plat::VT_I2);
        kit::SetRange(slots_[kTopDistance], 0, 100);
        slots_[kTopDistance].min_interval_ms = 500;
        def(kTopDistanceLim, "TopDistanceLim", plat::VT_I4, 45, 2, 3, 0, 4113, 4112);
        kit::SetRange(slots_[kTopDistanceLim], 0, 100);
        slots_[kTopDistanceLim].min_interval_ms = 4000;
    }
    def(kDozeMicro, "DozeMicro", plat::VT_R4, 9, 1, 3, kCodeDozeMicro, 4053);
    kit::SetRange(slots_[kDozeMicro], 0, 99);
    kinds_[kDozeMicro].scaled = true;
    def(kSensorEx, "SensorEx", plat::VT_I4, 59, 2, 0x81, kCodeSensorEx, 0);
    slots_[kSensorEx].min_interval_ms = 200;
    if (features_ & 0x10000) {
        def(kEarthedEx, "EarthedEx", plat::VT_I4, 1, 2, 1, kCodeFixed, 4006, 0, plat::VT_EMPTY,
            true);
        kit::SetRange(slots_[kEarthedEx], 0, 3);
        slots_[kEarthedEx].min_interval_ms = 200;
    }
    if (build > 63) {
        def(kAirValve, "AirValveTime", plat::VT_I4, 85, 2, 3, 55, 4027);
        def(kUss, "USSTimeout", plat::VT_I4, 86, 2, 3, 56, 4028);
        def(kSensorWait, "SensorWaitTime", plat::VT_I4, 87, 2, 3, 57, 4052);
        for (size_t i : {kAirValve, kUss, kSensorWait}) kit::SetRange(slots_[i], 0, 255);
        text(kFullUp, "FullUp", 81, 4, 3, UINT32_MAX, 4029, 4011, plat::VT_R4);
        text(kFullDown, "FullDown", 83, 4, 3, UINT32_MAX, 4030, 4011, plat::VT_R4);
        def(kDecimalPoint, "DecimalPoint", plat::VT_I4, 2, 2, 1, kCodeFixed, 0, 0, plat::VT_EMPTY,
            true);
        slots_[kDecimalPoint].initial = plat::Variant::I4(1);
    }
    // Counters and doses carry the unit's decimal point.
    // decisions DEV-2
    for (size_t i : {kTotalV, kCurrentV, kDozeV, kTotalW, kCurrentW, kDozeW})
        if (!slots_[i].IsEmpty()) kinds_[i].scaled = true;
}

// ---------------------------------------------------------------------------------------------
// Register access: always at the unit's current address.

int CPost::ReadWords(uint16_t offset, uint16_t count, std::vector<uint16_t>& out) {
    out.clear();
    const int code =
        kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr, [&](CModbus& m) {
            return m.ReadHoldingRegisters(unit_->GetAddress(), Reg(offset), count, out);
        });
    kit::CountError(*this, code);
    if (code == kMbOk) SetErrorCount(0);
    if (code == kExceptionLocked) ActivationCheck();
    return code;
}

int CPost::WriteWords(uint16_t offset, std::span<const uint16_t> words) {
    const int code =
        kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr, [&](CModbus& m) {
            return m.WriteMultipleRegisters(unit_->GetAddress(), Reg(offset), words);
        });
    kit::CountError(*this, code);
    return code;
}

void CPost::ActivationCheck() {
    unit_->ActivatePosts();
}

double CPost::Scale() const {
    return std::pow(10.0, decimal_point_);
}

// Counter texts hold plain characters, one a byte; the decimal point is implied.
void CPost::PublishText(ItemSlot& slot, std::span<const uint16_t> words) {
    const int i = kit::FindSlot(slots_, slot.variable);
    if (i < 0) return;
    std::string text;
    for (uint16_t w : words)
        for (uint8_t b : {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)})
            if (b != 0 && b != ' ') text.push_back(static_cast<char>(b));
    if (static_cast<size_t>(i) == kTotalV) {
        if (text == last_total_) {
            // decisions DEV-5
            ++stable_total_;
        } else {
            stable_total_ = 1;
            last_total_ = text;
        }
    }
    if (kinds_[static_cast<size_t>(i)].scaled) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != 0) {
            if (CLogFile* log = Log())
                log->Warning("%s %X", Name().c_str(),
                             static_cast<unsigned>(plat::DISP_E_TYPEMISMATCH));
            kit::SetSlotQuality(slot, kQualityBad);
            return;
        }
        kit::PublishSlot(slot, plat::Variant::R8(v / Scale()));
        return;
    }
    kit::PublishSlot(slot, plat::Variant::Str(std::string_view(text)));
}

void CPost::PublishFlags(uint16_t flags) {
    flags_word_ = flags;
    kit::PublishSlot(slots_[kFlags], plat::Variant::I4(flags));
    for (size_t i : {kEarthed, kTrap, kHandle, kOverFill, kGas, kHandleGr, kStartStop})
        if (!slots_[i].IsEmpty())
            kit::PublishSlot(slots_[i], plat::Variant::Bool((flags & slots_[i].reg) != 0));
    if ((flags & 0x1000) && !slots_[kEarthedEx].IsEmpty())
        kit::PublishSlot(slots_[kEarthedEx], plat::Variant::I4(2));
}

void CPost::SnapSensorCheck(uint16_t snap) {
    CLogFile* log = Log();
    const char* name = Name().c_str();
    if (snap & 0x01) {
        if (log != nullptr) log->Warning("277B7CA3-перелив%s", name);
        kit::PublishSlot(slots_[kOverFill], plat::Variant::Bool(true));
    }
    if (snap & 0x10) {
        if (log != nullptr) log->Warning("277B7CA3-УЗА %s", name);
        kit::PublishSlot(slots_[kEarthed], plat::Variant::Bool(false));
    }
    if (snap & 0x20) {
        if (log != nullptr) log->Warning("277B7CA3-Рабочее положения %s", name);
        kit::PublishSlot(slots_[kHandle], plat::Variant::Bool(false));
    }
    if (snap >= 0x40) {
        if (log != nullptr) log->Warning("277B7CA3-Гаражное положения %s", name);
        kit::PublishSlot(slots_[kTrap], plat::Variant::Bool(false));
    }
}

int CPost::ReadException() {
    std::vector<uint16_t> w;
    const int code = ReadWords(248, 1, w);
    if (code == kMbOk)
        kit::PublishSlot(slots_[kException], plat::Variant::UI2(w[0]));
    else
        kit::SetSlotQuality(slots_[kException], kQualityBad);
    return code;
}

int CPost::ReadDozeMicro() {
    std::vector<uint16_t> w;
    const int code = ReadWords(9, 1, w);
    if (code == kMbOk)
        kit::PublishSlot(slots_[kDozeMicro],
                         plat::Variant::R4(static_cast<float>(FromBcd(w[0] & 0xFF) / Scale())));
    else
        kit::SetSlotQuality(slots_[kDozeMicro], kQualityBad);
    return code;
}

// ---------------------------------------------------------------------------------------------
// Activation and life cycle

void CPost::SetActive(bool active) {
    if (!active && active_ && initialised_) {
        if (CLogFile* log = Log()) log->Info("Пост %s неактивный", Name().c_str());
        for (size_t i : {kFlags, kEarthedEx, kEarthed, kTrap, kHandle, kHandleGr, kStartStop,
                         kOverFill, kPowerPlat, kSnap, kDensity, kTemperature, kTopDistance})
            kit::SetSlotQuality(slots_[i], kQualityUncertain);
        kit::PublishSlot(slots_[kProductivity], plat::Variant::R8(0));
        CDevice::SetState(kStateProbed);
    } else if (active && !active_) {
        CDevice::SetState(kStateFound);
    }
    active_ = active;
}

int32_t CPost::SetState(int32_t code) {
    return CDevice::SetState(code);
}

bool CPost::CanCapture() {
    CVariable* v = kit::Var(slots_[kState]);
    if (v == nullptr) return true;
    plat::Variant n;
    if (plat::Failed(plat::VariantChangeType(n, v->Value(), 0, plat::VT_I4))) return true;
    return n.lVal != kPostWaitingKey && n.lVal != kPostWorking && n.lVal != kPostPaused;
}

void CPost::SetErrorCount(int32_t n) {
    unit_->SetErrorCount(n);
}
int32_t CPost::GetErrorCount() {
    return unit_->GetErrorCount();
}
void CPost::IncErrorCount() {
    unit_->IncErrorCount();
}
void CPost::SetCrcErrorCount(int32_t n) {
    unit_->SetCrcErrorCount(n);
}
void CPost::IncCrcErrorCount() {
    unit_->IncCrcErrorCount();
}
void CPost::IncRequestCount() {
    unit_->IncRequestCount();
}

bool CPost::Init() {
    CLogFile* log = Log();
    if (log != nullptr) log->Info("{INIT} %s %d %d", Name().c_str(), side_, channel_);
    if (unit_->Build() > 63) {
        std::vector<uint8_t> b;
        const int code = kit::ClientCall(
            Port() != nullptr ? Port()->PortModbus() : nullptr,
            [&](CModbus& m) { return m.ReadBank(unit_->GetAddress(), Reg(127), 1, b); });
        kit::CountError(*this, code);
        if (code == kMbOk && b.size() == 1) {
            decimal_point_ = b[0] <= 9 ? b[0] : 0;
            kit::PublishSlot(slots_[kDecimalPoint], plat::Variant::I4(b[0]));
        }
    }
    if (Limited()) {
        const int state = unit_->Version() > 6 ? kPostNewController : kPostOldController;
        kit::PublishSlot(slots_[kState], plat::Variant::UI2(static_cast<uint16_t>(state)));
        if (log != nullptr)
            log->Error("Ошибка версии MAX-%d MIN-%d Cur-%d", 6, 1, unit_->Version());
        initialised_ = true;
        return true;
    }
    if (active_) {
        std::vector<uint16_t> w;
        if (log != nullptr)
            log->Trace("Init3-15 %X post-%u", unit_->GetAddress(), unsigned(channel_));
        int code = ReadWords(3, 12, w);
        if (code != kMbOk) return false;
        kit::PublishSlot(slots_[kDozeMicro],
                         plat::Variant::R4(static_cast<float>(FromBcd(w[6] & 0xFF) / Scale())));
        PublishFlags(w[11]);
        kit::PublishSlot(slots_[kPowerPlat], plat::Variant::I4(w[10]));
        kit::PublishSlot(slots_[kSnap], plat::Variant::I4(w[9]));
        if (unit_->Version() > 5) {
            if (log != nullptr)
                log->Trace("Init4-7 %X post-%u", unit_->GetAddress(), unsigned(channel_));
            code = ReadWords(81, 7, w);
            if (code != kMbOk) return false;
            if (!slots_[kFullUp].IsEmpty()) {
                PublishText(slots_[kFullUp], std::span(w).subspan(0, 2));
                PublishText(slots_[kFullDown], std::span(w).subspan(2, 2));
                kit::PublishSlot(slots_[kAirValve], plat::Variant::I4(w[4]));
                kit::PublishSlot(slots_[kUss], plat::Variant::I4(w[5]));
                kit::PublishSlot(slots_[kSensorWait], plat::Variant::I4(w[6]));
            }
        }
        if (log != nullptr)
            log->Trace("Init0x10 %X post-%u", unit_->GetAddress(), unsigned(channel_));
        code = ReadWords(16, 23, w);
        if (code != kMbOk) return false;
        const std::span<const uint16_t> all(w);
        PublishText(slots_[kTotalV], all.subspan(0, 6));
        PublishText(slots_[kCurrentV], all.subspan(6, 4));
        PublishText(slots_[kProductivity], all.subspan(10, 3));
        PublishText(slots_[kTotalW], all.subspan(13, 6));
        PublishText(slots_[kCurrentW], all.subspan(19, 4));
        if (!slots_[kException].IsEmpty()) ReadException();
        if (!ReadState()) return false;
        PublishState(true);
    }
    initialised_ = true;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Scan

bool CPost::ReadState() {
    std::vector<uint16_t> w;
    const int code = ReadWords(12, 4, w);
    if (code != kMbOk) {
        state_failed_ = true;
        if (code == kExceptionLocked) return false;
        for (size_t i : {kFlags, kState, kEarthed, kTrap, kHandle, kOverFill, kPowerPlat, kSnap})
            kit::SetSlotQuality(slots_[i], kQualityBad);
        if (code > 16)
            for (size_t i : {kTotalV, kCurrentV, kProductivity, kTotalW, kCurrentW})
                kit::SetSlotQuality(slots_[i], kQualityBad);
        return false;
    }
    state_failed_ = false;
    const uint16_t old = raw_;
    kit::PublishSlot(slots_[kSnap], plat::Variant::I4(w[0]));
    kit::PublishSlot(slots_[kPowerPlat], plat::Variant::I4(w[1]));
    PublishFlags(w[2]);
    raw_ = w[3];
    const bool was96 = (old & 0xF0) == 96, is96 = (raw_ & 0xF0) == 96;
    if (have_prev_ && was96 != is96 && !slots_[kException].IsEmpty()) ReadException();
    if (have_prev_ && (old & 0xF0) == 32 && (raw_ & 0xF0) != 32) SnapSensorCheck(w[0]);
    return true;
}

void CPost::PublishState(bool read_ok) {
    if (!read_ok || state_failed_) {
        kit::SetSlotQuality(slots_[kState], kQualityBad);
        return;
    }
    const uint16_t prev = prev_raw_ & 0xF0, now = raw_ & 0xF0;
    if (have_prev_ && now == prev && !state_stale_) return;
    if (have_prev_ && (prev == 32 || prev == 48 || prev == 80) && now == 0 &&
        !slots_[kTotalV].IsEmpty()) {
        // The unit reports idle before its last counts are in: wait for a settled total.
        if (!idle_pending_) {
            idle_pending_ = true;
            stable_total_ = 0;
            last_total_.clear();
        }
        std::vector<uint16_t> w;
        if (ReadWords(16, 6, w) != kMbOk) return;
        PublishText(slots_[kTotalV], w);
        if (stable_total_ < 3) return;
    }
    idle_pending_ = false;
    int32_t state = RawToPostState(raw_);
    if (state < 0) {
        if (CLogFile* log = Log())
            log->Warning("{AC495171-502B-4b80-B8A7-34129B5FC452} %i", int{raw_});
        state = kPostIdle;
    }
    kit::PublishSlot(slots_[kState], plat::Variant::UI2(static_cast<uint16_t>(state)));
    if (CLogFile* log = Log()) log->Info("State %X - {%.04X}", unit_->GetAddress(), unsigned{raw_});
    prev_raw_ = raw_;
    have_prev_ = true;
    state_stale_ = false;
}

int CPost::Scan() {
    CLogFile* log = Log();
    if (log != nullptr) log->Trace("Scan %s %d %d %d", Name().c_str(), GetState(), side_, active_);
    if (NeedsReinit() || !initialised_) {
        if (Init()) ClearReinit();
        return 1;
    }
    if (Limited()) {
        plat::Sleep(5);
        return 1;
    }
    kit::LineSettings settings(Port() != nullptr ? Port()->PortModbus() : nullptr, 200, 25);
    try {
        ReadItemFromDevice(slots_);
        ExecuteNextWrite();
        if (!active_) return 1;
        for (size_t i = 0; i < kSlots; ++i) {
            if (held_[i].IsEmpty() || slots_[i].variable == nullptr) continue;
            plat::Variant v = held_[i];
            held_[i].Clear();
            WriteItem(slots_[i].variable, v, 0);
        }
        for (size_t n = 0; n < kSlots; ++n) {
            const size_t i = (next_slot_ + n) % kSlots;
            CVariable* v = kit::Var(slots_[i]);
            if (v == nullptr || !v->IsReadDue()) continue;
            next_slot_ = (i + 1) % kSlots;
            ReadItem(v);
            break;
        }
        const uint16_t r = raw_ & 0xF0;
        if (r == 32) {
            CDevice::SetState(kStateGood);
            if (!dispensing_) {
                dispensing_ = true;
                dispensing_since_ = plat::GetTickCount();
                if (log != nullptr) log->Info("Start %s", Name().c_str());
            }
            for (size_t i : {kCurrentV, kCurrentW})
                if (slots_[i].variable != nullptr) ReadItem(slots_[i].variable);
        } else {
            CDevice::SetState(kStateFound);
        }
        if (dispensing_ &&
            // decisions DEV-11
            plat::TickDiff(plat::GetTickCount(), dispensing_since_) >= kDispensingHoldMs)
            dispensing_ = false;
        const bool ok = ReadState();
        PublishState(ok);
    } catch (...) {
        if (log != nullptr)
            log->Error("{116E3FFE-5F9D-495d-960D-99263E8C68DC} %s %x %x %x", Name().c_str(),
                       unsigned{raw_}, unsigned{prev_raw_}, unsigned{flags_word_});
        raw_ = prev_raw_ = flags_word_ = 0;
        state_failed_ = true;
    }
    return 1;
}

// decisions DEV-13
void CPost::SetBadQuality() {
    for (size_t i = 0; i < kSlots; ++i) {
        if (i == kState || slots_[i].variable == nullptr) continue;
        kit::SetSlotQuality(slots_[i], kit::SlotQuality(slots_[i]) <= 20 ? kQualityBad : 20);
    }
    kit::PublishSlot(slots_[kState], plat::Variant::UI2(kPostCommError));
    state_stale_ = true;
}

// ---------------------------------------------------------------------------------------------
// Reads

bool CPost::ReadItem(CDeviceItem* item) {
    const int i = kit::FindSlot(slots_, item);
    if (i < 0) {
        if (CLogFile* log = Log()) log->Warning("ReadItem %s", Name().c_str());
        return false;
    }
    ItemSlot& slot = slots_[static_cast<size_t>(i)];
    const kit::SlotKind& kind = kinds_[static_cast<size_t>(i)];
    if (!held_[static_cast<size_t>(i)].IsEmpty()) {
        kit::PublishSlot(slot, held_[static_cast<size_t>(i)]);
        return true;
    }
    std::vector<uint16_t> w;
    int code = kMbOk;
    // decisions DEV-16
    switch (kind.code) {
        case kCodeFlags:
            code = ReadWords(14, 1, w);
            if (code == kMbOk) PublishFlags(w[0]);
            break;
        case kCodeSensorEx:
            code = ReadWords(59, 1, w);
            if (code == kMbOk) {
                kit::PublishSlot(slot, plat::Variant::I4(w[0]));
                kit::PublishSlot(slots_[kEarthedEx], plat::Variant::I4(w[0] & 3));
                if (w[0] == 2) kit::PublishSlot(slots_[kEarthed], plat::Variant::Bool(true));
            }
            break;
        case kCodeState:
            code = ReadWords(15, 1, w);
            if (code == kMbOk) {
                if (CLogFile* log = Log())
                    log->Trace("State Read %X - %x %x ", unit_->GetAddress(), unsigned{w[0]},
                               unsigned{raw_});
                raw_ = w[0];
                state_failed_ = false;
                PublishState(true);
            }
            break;
        case kCodeDozeMicro:
            code = ReadDozeMicro();
            break;
        case kCodeException:
            code = ReadException();
            break;
        case kCodeText:
            code = ReadWords(static_cast<uint16_t>(slot.reg - channel_ * 256),
                             static_cast<uint16_t>((kind.size + 1) / 2), w);
            if (code == kMbOk) PublishText(slot, w);
            break;
        case kCodeFixed:
        case kCodeBasePost:
            if (CVariable* v = kit::Var(slot)) kit::PublishSlot(slot, v->Value());
            return true;
        default: {
            const uint16_t count = kind.size >= 4 ? 2 : 1;
            code = ReadWords(static_cast<uint16_t>(slot.reg - channel_ * 256), count, w);
            if (code != kMbOk) break;
            const uint32_t n = count == 2 ? (uint32_t{w[0]} << 16 | w[1]) : w[0];
            switch (slot.raw_type) {
                case plat::VT_R4:
                    kit::PublishSlot(slot, plat::Variant::R4(std::bit_cast<float>(n)));
                    break;
                case plat::VT_UI2:
                    kit::PublishSlot(slot, plat::Variant::UI2(static_cast<uint16_t>(n)));
                    break;
                default:
                    kit::PublishSlot(slot, plat::Variant::I4(static_cast<int32_t>(n)));
            }
        }
    }
    if (code != kMbOk) kit::SetSlotQuality(slot, kQualityBad);
    return code == kMbOk;
}

}  // namespace mb
