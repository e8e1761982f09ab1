#include "fieldbus/devices/FQ5.h"

#include <bit>
#include <cstdio>
#include <exception>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/DeviceKit.h"

namespace mb {

using kit::Var;

namespace {

constexpr uint16_t kRegState = 0;
constexpr uint16_t kRegResetState = 22;
constexpr uint16_t kRegAddress = 46;
constexpr uint16_t kRegInspector = 261;
constexpr size_t kSlotState = 0, kSlotTotalV = 2, kSlotCurrentV = 3, kSlotProductivity = 4,
                 kSlotTemperature = 5, kSlotException = 6, kSlotFrequency = 7,
                 kSlotControllerVersion = 10, kSlotAddress = 11, kSlotInspector = 12,
                 kSlotFirmwareVersion = 13, kSlotID = 14;
constexpr int kKindAddress = 19, kKindState = 34, kKindCurrentV = 128;

struct Def {
    size_t slot;
    const char* name;
    plat::VARTYPE raw;
    plat::VARTYPE canonical;
    uint16_t reg;
    uint8_t size;
    uint8_t access;
    uint8_t flags;
    uint32_t interval_ms;
    uint32_t description;
    uint32_t units;
    int kind;
};

constexpr uint8_t P = CFQ5Device::kReadPeriodically, N = CFQ5Device::kNoReadBack;

// Items without an interval of their own may be read again at once.
// decisions DEV-21
const Def kDefs[] = {
    {0, "State", plat::VT_I4, plat::VT_UI1, 0, 2, 3, 0, 0, 4005, 0, kKindState},
    {2, "TotalV", plat::VT_I8, plat::VT_R8, 18, 8, 1, 0, 0, 4010, 4011, 0},
    {3, "CurrentV", plat::VT_I8, plat::VT_R8, 2, 8, 3, 0, 0, 4012, 4011, kKindCurrentV},
    {4, "Productivity", plat::VT_I4, plat::VT_R4, 6, 4, 1, 0, 0, 4014, 4015, 0},
    {5, "Temperature", plat::VT_R4, plat::VT_EMPTY, 9, 4, 1, 0, 0, 4108, 4026, 0},
    {6, "Exception", plat::VT_UI2, plat::VT_EMPTY, 1, 2, 3, 0, 1000, 4066, 0, 99},
    {7, "Frequency", plat::VT_UI2, plat::VT_EMPTY, 8, 2, 1, 0, 20000, 4120, 0, 0},
    {10, "ControllerVersion", plat::VT_BSTR, plat::VT_EMPTY, 0, 0, 1, N, 0, 0, 0, 0},
    {11, "Address", plat::VT_I4, plat::VT_EMPTY, kRegAddress, 2, 3, N, 0, 4002, 0, kKindAddress},
    {12, "Inspector", plat::VT_I4, plat::VT_EMPTY, kRegInspector, 4, 1, 0, 20000, 4061, 0, 0},
    {13, "FirmwareVersion", plat::VT_BSTR, plat::VT_EMPTY, 0, 8, 1, N, 0, 4058, 0, 0},
    {14, "ID", plat::VT_I8, plat::VT_BSTR, 265, 8, 1, N, 0, 4118, 0, 0},
    {15, "CurrentTime", plat::VT_I4, plat::VT_EMPTY, 23, 4, 1, P, 1000, 4119, 0, 0},
};

// Registers served by the two blocks (text items sit at 0 and come with them).
bool IsBlockRegister(uint16_t reg) {
    switch (reg) {
        case 0:
        case 1:
        case 2:
        case 6:
        case 8:
        case 9:
        case 18:
            return true;
        default:
            return false;
    }
}

int64_t Int64Of(const std::vector<uint16_t>& w, size_t at) {
    uint64_t n = 0;
    for (size_t i = 0; i < 4; ++i) n = n << 16 | w[at + i];
    return static_cast<int64_t>(n);
}

}  // namespace

CFQ5Device::CFQ5Device(IDevicePort* port, uint8_t address, std::string name)
    : CDevice(address, port) {
    SetName(std::move(name));
    if (CLogFile* log = Log())
        log->Info("{83A8F727-3874-496d-A094-AE51C0EB91A2} %s", Name().c_str());
    for (const Def& d : kDefs) {
        ItemSlot& s = slots_[d.slot];
        s.raw_type = d.raw;
        s.canonical_type = d.canonical;
        s.min_interval_ms = d.interval_ms;
        s.parent = Name();
        s.name = d.name;
        s.reg = d.reg;
        s.access = d.access;
        s.description_id = d.description;
        s.units_id = d.units;
        info_[d.slot] = {d.size, d.flags, d.kind, 0};
    }
    slots_[kSlotTotalV].minimum = slots_[kSlotTotalV].maximum = 0;
    slots_[kSlotCurrentV].minimum = slots_[kSlotCurrentV].maximum = 0;
    slots_[kSlotTemperature].decimals = 1;
    slots_[kSlotException].alarm_help = true;
    slots_[kSlotAddress].minimum = 1;
    slots_[kSlotAddress].maximum = 247;
    for (size_t i : {kSlotException, kSlotFrequency, kSlotAddress, kSlotInspector})
        // decisions DEV-23
        slots_[i].privileged = true;
    slots_[kSlotControllerVersion].initial = plat::Variant::Str("");
    slots_[kSlotFirmwareVersion].initial = plat::Variant::Str("");
    created_ = kit::CreateInOwnBranch(*this, Host(), slots_, branch_);
    // Identification runs on the first scan step.
    SetReinit();
}

CFQ5Device::~CFQ5Device() {
    // The variables ask this device for error texts: they go while it is whole.
    kit::DestroyOwnBranch(*this, Host(), slots_, branch_);
    if (CLogFile* log = Log())
        log->Info("{046ED71A-6FDF-4270-8C8D-1F46EEED8BE4} %s", Name().c_str());
}

int CFQ5Device::SlotOf(const CDeviceItem* item) const {
    for (size_t i = 0; i < kSlots; ++i)
        if (item != nullptr && slots_[i].variable == item) return static_cast<int>(i);
    return -1;
}

int CFQ5Device::Scan() {
    CLogFile* log = Log();
    try {
        if (NeedsReinit() && Init()) ClearReinit();
        ReadItemFromDevice(slots_);
        ExecuteNextWrite();
        if (log != nullptr) log->Trace("Scan FQ5%s, Pr-%d", Name().c_str(), GetState());
        ReadItem(slots_[kSlotState].variable);
        // One item a client asked for, round robin. Items the blocks serve keep what the poll
        // published: their re-read is the poll itself.
        if (next_ >= kSlots) next_ = 0;
        for (; next_ < kSlots; ++next_) {
            CVariable* v = Var(slots_[next_]);
            const SlotInfo& in = info_[next_];
            if (v == nullptr || v->ReadRequests() <= 0) continue;
            if (in.rereads <= 0 && (in.flags & kReadPeriodically) == 0) continue;
            if (!v->IsReadDue()) continue;
            const size_t i = next_++;
            ReadItem(v);
            if (v->Quality() == kQualityGood) info_[i].rereads = 0;
            break;
        }
    } catch (const std::exception&) {
        if (log != nullptr) log->Info("{979E9371-4ED0-405f-9A74-2381AFE5BB60} %s", Name().c_str());
    }
    return 1;
}

bool CFQ5Device::BlockPoll() {
    auto read = [&](uint16_t reg, size_t words, std::vector<uint16_t>& w) {
        std::vector<uint8_t> b;
        int code = ReadBytes(reg, words * 2, b);
        StampContact();
        w.clear();
        if (code == kMbOk && b.size() != words * 2) code = kMbInvalidAnswer;
        if (code != kMbOk) return code;
        for (size_t i = 0; i < words; ++i)
            w.push_back(static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]));
        return code;
    };
    auto put = [&](size_t slot, plat::Variant v, uint64_t t) {
        if (CDeviceItem* item = slots_[slot].variable)
            item->NewSample(std::move(v), kQualityGood, t);
    };
    std::vector<uint16_t> w;
    if (read(0, 11, w) == kMbOk) {
        const uint64_t t = LastContact();
        put(kSlotState, plat::Variant::UI2(w[0]), t);
        put(kSlotException, plat::Variant::UI2(w[1]), t);
        put(kSlotCurrentV, plat::Variant::R8(static_cast<double>(Int64Of(w, 2)) * 0.000001), t);
        const int32_t rate = static_cast<int32_t>(uint32_t{w[6]} << 16 | w[7]);
        put(kSlotProductivity, plat::Variant::R4(static_cast<float>(rate) * 0.000001f), t);
        put(kSlotFrequency, plat::Variant::UI2(w[8]), t);
        // The temperature's low half comes first.
        put(kSlotTemperature, plat::Variant::R4(std::bit_cast<float>(uint32_t{w[10]} << 16 | w[9])),
            t);
        if (read(18, 4, w) == kMbOk) {
            put(kSlotTotalV, plat::Variant::R8(static_cast<double>(Int64Of(w, 0)) * 0.000001),
                LastContact());
            SetErrorCount(0);
            return true;
        }
    }
    kit::Degrade(std::span<ItemSlot>(slots_.data(), 10), LastContact());
    return false;
}

int CFQ5Device::TypedRead(size_t slot) {
    CVariable* v = Var(slots_[slot]);
    if (v == nullptr) return kBadValueType;
    const ItemSlot& s = slots_[slot];
    int code;
    if (s.raw_type == plat::VT_I8) {
        code = ReadVariable(*v);
    } else {
        const uint32_t n = ReadInteger(s.reg, info_[slot].size == 4 ? 4 : 2, 1);
        code = LastError();
        plat::Variant value = s.raw_type == plat::VT_UI2
                                  ? plat::Variant::UI2(static_cast<uint16_t>(n))
                                  : plat::Variant::I4(static_cast<int32_t>(n));
        if (code == kMbOk)
            v->NewSample(std::move(value), kQualityGood, kit::Now());
        else
            v->SetQuality(kQualityBad, kit::Now());
    }
    if (code == kMbOk) StampContact();
    kit::LowerReadRequest(v);
    if (info_[slot].rereads > 0) --info_[slot].rereads;
    return code;
}

bool CFQ5Device::ReadItem(CDeviceItem* item) {
    const int slot = SlotOf(item);
    if (slot < 0) return false;
    // The version texts come from identification, not from a register: a read answers with
    // what the device holds, stamped now. decisions DEV-35
    const auto at = static_cast<size_t>(slot);
    if (at == kSlotControllerVersion || at == kSlotFirmwareVersion) {
        const std::string text = at == kSlotFirmwareVersion ? version_ : kControllerText;
        item->NewSample(plat::Variant::Str(text), kQualityGood, kit::Now());
        kit::LowerReadRequest(Var(slots_[at]));
        return true;
    }
    if (IsBlockRegister(slots_[slot].reg)) return BlockPoll();
    return TypedRead(static_cast<size_t>(slot)) == kMbOk;
}

bool CFQ5Device::Init() {
    const uint64_t now = kit::Now();
    if (CDeviceItem* v = slots_[kSlotAddress].variable)
        v->NewSample(plat::Variant::I4(GetAddress()), kQualityGood, now);
    if (CDeviceItem* v = slots_[kSlotInspector].variable) {
        const uint32_t n = ReadInteger(kRegInspector, 4, 1);
        if (LastError() == kMbOk)
            v->NewSample(plat::Variant::I4(static_cast<int32_t>(n)), kQualityGood, kit::Now());
        else
            v->NewSample(plat::Variant(), kQualityBad, now);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02X.%04X", unsigned{id_word1}, unsigned{id_word2});
    version_ = text;
    if (CDeviceItem* v = slots_[kSlotFirmwareVersion].variable)
        v->NewSample(plat::Variant::Str(version_), kQualityGood, now);
    if (CDeviceItem* v = slots_[kSlotID].variable) ReadVariable(*v);
    if (CDeviceItem* v = slots_[kSlotControllerVersion].variable)
        v->NewSample(plat::Variant::Str(kControllerText), kQualityGood, now);
    return true;
}

void CFQ5Device::SetBadQuality() {
    SetState(kStateOffline);
    kit::SetQualities(slots_, kQualityBad, LastContact());
}

int CFQ5Device::TypedWrite(size_t slot, const plat::Variant& value) {
    const ItemSlot& s = slots_[slot];
    plat::Variant raw;
    // A value of another width would spill into the neighbouring registers.
    if (plat::Failed(plat::VariantChangeType(raw, value, 0, s.raw_type))) return plat::E_INVALIDARG;
    int code;
    switch (info_[slot].size) {
        case 8:
            code = WriteInt64(s.reg, raw.llVal);
            break;
        case 4:
            code = WriteVariant(s.reg, raw);
            break;
        default: {
            plat::Variant n;
            if (plat::Failed(plat::VariantChangeType(n, raw, 0, plat::VT_I4)))
                return plat::E_INVALIDARG;
            code = WriteInteger(s.reg, n.lVal, 2);
            break;
        }
    }
    if ((info_[slot].flags & kNoReadBack) == 0) ++info_[slot].rereads;
    return code;
}

int CFQ5Device::ChangeAddress(const plat::Variant& value) {
    plat::Variant n;
    if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) || n.lVal < 1 ||
        n.lVal > 247)
        return plat::E_INVALIDARG;
    const uint8_t to = static_cast<uint8_t>(n.lVal);
    if (Port() == nullptr || !Port()->IsFreeAddress(to)) return static_cast<int>(0x80000000u);
    const int code = WriteInteger(kRegAddress, n.lVal, 2);
    if (code != kMbOk) return code;
    // decisions DEV-22
    SetRedetectAddress(to);
    MarkForRemoval();
    if (CLogFile* log = Log())
        log->Info("{23F51E40-2F14-4bb4-B88F-B985C16E9492} %d", int{GetAddress()});
    return code;
}

int CFQ5Device::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    try {
        FoldWrites(item, value, id);
        const int slot = SlotOf(item);
        int result = plat::E_FAIL;
        if (slot >= 0) {
            switch (info_[slot].kind) {
                case kKindAddress:
                    result = ChangeAddress(value);
                    break;
                case kKindState: {
                    plat::Variant n;
                    if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) ||
                        n.lVal != 0)
                        result = plat::OPC_E_RANGE;
                    else
                        result = WriteInteger(kRegResetState, 0, 2);
                    break;
                }
                case kKindCurrentV: {
                    // The counter can only be reset: any other value, however it is
                    // represented, is refused.
                    plat::Variant d;
                    if (plat::Failed(plat::VariantChangeType(d, value, 0, plat::VT_R8)) ||
                        d.dblVal != 0.0)
                        result = plat::OPC_E_RANGE;
                    else
                        result = TypedWrite(static_cast<size_t>(slot), plat::Variant::I8(0));
                    break;
                }
                default:
                    result = TypedWrite(static_cast<size_t>(slot), value);
                    break;
            }
        }
        SetWriteResult(id, result);
        if (log != nullptr)
            log->Trace("{881313DB-47A3-4ac5-A130-58AE9C3F48E2} %d %X", int{GetAddress()},
                       static_cast<unsigned>(result));
    } catch (const std::exception&) {
        if (log != nullptr) log->Error("{CCF8D8C3-913C-4a62-8512-245A4D243EE8} %s", Name().c_str());
        throw;
    }
    return 1;
}

std::string CFQ5Device::DefineErrorText(int32_t value, plat::LCID lcid) {
    const uint16_t code = static_cast<uint16_t>(value);
    const uint32_t id = code == 0 ? 4062 : code == 1 ? 10000 : 4064;
    std::string text;
    if (lcid != 0)
        LoadText(id, lcid, text);
    else
        LoadText(id, text);
    return text;
}

std::unique_ptr<CDevice> MakeFQ5(IDevicePort* port, const DetectedDevice& found) {
    return kit::MakeDetected<CFQ5Device>(port, found, "Post%i", "FQ5");
}

}  // namespace mb
