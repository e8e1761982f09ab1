#include "fieldbus/devices/Terminal.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/devices/DeviceKit.h"
#include "platform/registry/registry.h"
#include "platform/types/datetime.h"

namespace mb {

using kit::Var;

namespace {

enum Kind : uint8_t {
    kWriteNone,
    kWriteFlag,
    kWriteRegister,
    kWriteDisplay,
    kWriteMemoLine,
    kWriteMemoIndex,
    kWriteOutput
};
enum Branch : uint8_t { kRoot, kDisplay, kInOut, kCard, kKey, kMemo };
// decisions DEV-30
const char* const kBranchNames[] = {"", "Display", "InOut", "Card", "Key", "MemoDisplay"};

struct Def {
    std::string name;
    plat::VARTYPE type;
    uint16_t reg;
    uint32_t description;
    Branch branch;
    Kind kind;
};

std::array<Def, CTerminal::kSlots> Defs() {
    using T = CTerminal;
    std::array<Def, T::kSlots> d{};
    d[T::kCardRequest] = {"CardRequest", plat::VT_BOOL, T::kRegControl, 4035, kCard, kWriteFlag};
    d[T::kCharInput] = {"CharInput", plat::VT_BOOL, T::kRegControl, 4036, kKey, kWriteFlag};
    // decisions DEV-28
    d[T::kRusChar] = {"RusChar", plat::VT_BOOL, T::kRegControl, 4037, kDisplay, kWriteFlag};
    d[T::kCharOutput] = {"CharOutput", plat::VT_BOOL, T::kRegControl, 4038, kDisplay, kWriteFlag};
    d[T::kStartTime] = {"StartTime", plat::VT_DATE, 0, 4039, kRoot, kWriteNone};
    d[T::kLastKey] = {"LastKey", plat::VT_BSTR, T::kRegControl, 4040, kKey, kWriteNone};
    d[T::kBrightness] = {"Brightness", plat::VT_I4, T::kRegBrightness,
                         4041,         kDisplay,    kWriteRegister};
    d[T::kCursor] = {"Cursor", plat::VT_I4, T::kRegCursor, 4042, kDisplay, kWriteRegister};
    for (size_t i = 0; i < 20; ++i)
        d[T::kLine1 + i] = {
            "String" + std::to_string(i + 1), plat::VT_BSTR, 0, 4043, kDisplay, kWriteDisplay};
    for (size_t i = 0; i < 15; ++i)
        d[T::kField1 + i] = {"Field" + std::to_string(i + 1),
                             plat::VT_BSTR,
                             static_cast<uint16_t>(T::kRegField1 + T::kCardItemRegs * i),
                             4046,
                             kCard,
                             kWriteNone};
    d[T::kCardID] = {"CardID", plat::VT_BSTR, T::kRegCardID, 4045, kCard, kWriteNone};
    for (size_t i = 0; i < 10; ++i)
        d[T::kBufferKey1 + i] = {"BufferKey" + std::to_string(i + 1),
                                 plat::VT_BSTR,
                                 T::kRegKeyText,
                                 0,
                                 kKey,
                                 kWriteNone};
    d[T::kMemoLine] = {"String1", plat::VT_BSTR, T::kRegMemo, 4047, kMemo, kWriteMemoLine};
    d[T::kMemoIndex] = {"Index1", plat::VT_I4, 0, 4048, kMemo, kWriteMemoIndex};
    for (size_t i = 0; i < 3; ++i)
        d[T::kIn1 + i] = {
            "In" + std::to_string(i + 1), plat::VT_BOOL, T::kRegInputs, 0, kInOut, kWriteNone};
    for (size_t i = 0; i < 4; ++i)
        d[T::kOut1 + i] = {
            "Out" + std::to_string(i + 1), plat::VT_BOOL, T::kRegOutputs, 0, kInOut, kWriteOutput};
    d[T::kAddress] = {"Address", plat::VT_I4, 0, 4049, kRoot, kWriteNone};
    return d;
}

const std::array<Def, CTerminal::kSlots>& TheDefs() {
    static const auto defs = Defs();
    return defs;
}

bool IsCardItem(size_t slot) {
    return slot >= CTerminal::kField1 && slot <= CTerminal::kCardID;
}

bool IsValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Raises the line's answer time-out for the life of the guard.
class SlowerAnswers {
  public:
    SlowerAnswers(CModbus* m, uint32_t extra_ms) : m_(dynamic_cast<CLocalModbus*>(m)) {
        if (m_ != nullptr) {
            old_ = m_->GetAnswerTimeout();
            m_->SetAnswerTimeout(old_ + extra_ms);
        }
    }
    ~SlowerAnswers() {
        if (m_ != nullptr) m_->SetAnswerTimeout(old_);
    }
    SlowerAnswers(const SlowerAnswers&) = delete;
    SlowerAnswers& operator=(const SlowerAnswers&) = delete;

  private:
    CLocalModbus* m_;
    uint32_t old_ = 0;
};

}  // namespace

CTerminal::CTerminal(IDevicePort* port, uint8_t address, std::string name, uint16_t type)
    : CDevice(address, port), type_(type) {
    SetName(std::move(name));
    if (CLogFile* log = Log()) log->Info("Создание устройства %s", Name().c_str());
    const auto& defs = TheDefs();
    const CHostCalls& host = Host();
    branches_[kRoot] = kit::FindOrCreateBranch(host, Name(), Name(), -1);
    for (size_t b = kDisplay; b <= kMemo; ++b)
        branches_[b] = kit::FindOrCreateBranch(host, Name() + "." + kBranchNames[b],
                                               kBranchNames[b], branches_[kRoot]);
    for (size_t i = 0; i < kSlots; ++i) {
        const Def& d = defs[i];
        ItemSlot& s = slots_[i];
        s.raw_type = d.type;
        s.min_interval_ms = 0;
        s.parent = d.branch == kRoot ? Name() : Name() + "." + kBranchNames[d.branch];
        s.name = d.name;
        s.reg = d.reg;
        s.access = d.kind == kWriteNone ? 1 : 3;
        s.description_id = d.description;
        if (d.type == plat::VT_BSTR) s.initial = plat::Variant::Str("");
    }
    slots_[kBrightness].minimum = 0;
    slots_[kBrightness].maximum = 3;
    slots_[kMemoIndex].minimum = 0;
    slots_[kMemoIndex].maximum = 255;
    slots_[kAddress].minimum = 1;
    slots_[kAddress].maximum = 247;
    created_ = CreateVariables(slots_);
    SetReinit();
}

CTerminal::~CTerminal() {
    DestroyVariables(slots_);
    for (size_t b = branches_.size(); b-- > 0;) kit::DestroyBranch(Host(), branches_[b]);
    if (CLogFile* log = Log()) log->Info("Удаления устройства %s", Name().c_str());
}

int CTerminal::SlotOf(const CDeviceItem* item) const {
    for (size_t i = 0; i < kSlots; ++i)
        if (item != nullptr && slots_[i].variable == item) return static_cast<int>(i);
    return -1;
}

// decisions DEV-32
uint16_t CTerminal::KeyTypeCode() {
    static const std::pair<const char*, uint16_t> kCodes[] = {
        {"A0", 0}, {"B0", 0x200}, {"A1", 0x400}, {"B1", 0x600}, {"AT", 0x800}, {"BT", 0xA00}};
    for (const auto& [text, code] : kCodes)
        if (key_type_ == text) return code;
    if (CLogFile* log = Log())
        log->Info("{8AFA2CD8-633E-4376-9341-C545C90D00BC} %s", key_type_.c_str());
    return 0;
}

void CTerminal::LoadKeyType() {
    IDevicePort* port = Port();
    if (port == nullptr || port->PortNumber() <= 0) return;
    char key[96];
    std::snprintf(key, sizeof key, "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM%i\\%i", port->PortNumber(),
                  int{GetAddress()});
    std::string text;
    if (plat::reg::ReadString(plat::reg::Hive::LocalMachine, key, "KeyType", text) == 0 &&
        !text.empty())
        key_type_ = text;
}

// decisions DEV-33
void CTerminal::SetLastKey(uint16_t control, uint64_t time) {
    CDeviceItem* v = slots_[kLastKey].variable;
    if (v == nullptr) return;
    const auto byte = static_cast<uint8_t>(control);
    // A lone byte from 0x80 up is no character: the key is lost, and the item says so rather
    // than keep showing the previous key as good.
    if (byte >= 0x80) {
        if (CLogFile* log = Log())
            log->Warning("{369AAD7E-736E-116b-8483-5772904F8711}%X", unsigned{byte});
        key_lost_ = true;
        v->SetQuality(kQualityBad, time);
        return;
    }
    key_lost_ = false;
    const std::string text = byte == 0 ? std::string() : std::string(1, static_cast<char>(byte));
    v->NewSample(plat::Variant::Str(text), kQualityGood, time);
}

void CTerminal::SetFlags(uint8_t status, uint64_t time) {
    const size_t flags[] = {kCardRequest, kCharInput, kRusChar, kCharOutput};
    for (size_t k = 0; k < 4; ++k)
        if (CDeviceItem* v = slots_[flags[k]].variable)
            v->NewSample(plat::Variant::Bool((status >> (2 + k) & 1) != 0), kQualityGood, time);
}

int CTerminal::StatusPoll() {
    const uint8_t s = static_cast<uint8_t>(ReadInteger(0, 1, 0));
    const uint64_t now = kit::Now();
    if (LastError() != kMbOk) {
        for (size_t i : {kCardRequest, kCharInput, kRusChar, kCharOutput, kLastKey})
            if (slots_[i].variable != nullptr) slots_[i].variable->SetQuality(kQualityBad, now);
        control_ = 0;
        return 1;
    }
    StampContact();
    control_ = static_cast<uint16_t>(s << 8 | (control_ & 0xFF));
    // A lost key stays marked as such until the next good one.
    if (CVariable* v = Var(slots_[kLastKey]))
        v->SetQuality(key_lost_ ? kQualityBad : kQualityGood, now);
    if (s & kRestarted) {
        SetReinit();
        control_ &= 0x7FFF;
        WriteInteger(kRegControl, control_, 2);
        status_ = s;
        return 1;
    }
    if (s & kKeyWaiting) {
        const uint16_t r = static_cast<uint16_t>(ReadInteger(kRegControl, 2, 1));
        if (LastError() != kMbOk) {
            // Not acknowledged: the key stays waiting for the next step.
            if (slots_[kLastKey].variable != nullptr)
                slots_[kLastKey].variable->SetQuality(kQualityBad, kit::Now());
        } else {
            SetLastKey(r, kit::Now());
            control_ = r;
            if ((s & kCharInputBit) == 0) ReadKeyBuffer();
            control_ &= static_cast<uint16_t>(~0x0200);
            WriteInteger(kRegControl, control_, 2);
        }
    }
    if ((s ^ status_) & kCardBit) {
        if ((s & kCardBit) == 0) {
            for (size_t i = kField1; i < kCardID; ++i) marked_[i] = true;
            SetState(kStateGood);
        } else {
            for (size_t i = kField1; i < kCardID; ++i) {
                marked_[i] = false;
                if (CVariable* v = Var(slots_[i]); v != nullptr && v->Quality() > 20)
                    v->SetQuality(20, now);
            }
            SetState(kStateFound);
        }
    }
    SetFlags(s, now);
    if (CVariable* v = Var(slots_[kStartTime])) v->SetQuality(v->Quality(), now);
    status_ = s;
    return 0;
}

void CTerminal::ReadKeyBuffer() {
    const uint16_t header = static_cast<uint16_t>(ReadInteger(kRegKeyHeader, 2, 1));
    if (LastError() != kMbOk) return;
    const size_t n = header >> 8, length = header & 0xFF;
    if (n > 9) return;
    CDeviceItem* v = slots_[kBufferKey1 + n].variable;
    // Up to 255 characters take 128 registers, more than one answer carries: two requests.
    std::string text;
    int code = kMbOk;
    for (size_t done = 0; done < length && code == kMbOk;) {
        const size_t part = std::min<size_t>(length - done, 240);
        std::vector<uint8_t> b;
        code = ReadBytes(static_cast<uint16_t>(kRegKeyText + done / 2), part, b);
        if (code == kMbOk && b.size() != part) code = kMbInvalidAnswer;
        text.append(b.begin(), b.end());
        done += part;
    }
    if (v == nullptr) return;
    if (code != kMbOk)
        v->SetQuality(kQualityBad, kit::Now());
    else
        v->NewSample(plat::Variant::Str(plat::BytesToWide(text)), kQualityGood, kit::Now());
}

bool CTerminal::ReadCard(size_t slot) {
    CDeviceItem* v = slots_[slot].variable;
    marked_[slot] = false;
    if (v == nullptr) return false;
    const uint16_t reg = static_cast<uint16_t>(slots_[slot].reg + KeyTypeCode());
    SlowerAnswers slower(Port() != nullptr ? Port()->PortModbus() : nullptr, 100);
    std::vector<uint8_t> all, b;
    int code = ReadBytes(reg, 16, b);
    all = b;
    size_t length = code == kMbOk && !b.empty() ? b[0] : 0;
    bool ok = code == kMbOk && b.size() == 16 && length < 48;
    for (uint16_t more = 8; ok && more <= 16 && length >= size_t{more} * 2; more += 8) {
        ok = ReadBytes(static_cast<uint16_t>(reg + more), 16, b) == kMbOk && b.size() == 16;
        all.insert(all.end(), b.begin(), b.end());
    }
    if (ok) StampContact();
    const std::string text(all.begin() + (ok ? 1 : 0), all.begin() + (ok ? 1 + length : 0));
    if (ok && !IsValidUtf8(text)) {
        if (CLogFile* log = Log())
            log->Warning("{F99E828E-7E51-4ee1-AB0F-2E6E7CA6116D} %X",
                         static_cast<unsigned>(length));
        ok = false;
    }
    if (!ok) {
        v->SetQuality(kQualityBad, kit::Now());
        return false;
    }
    v->NewSample(plat::Variant::Str(length == 0 ? std::string(" ") : text), kQualityGood,
                 kit::Now());
    return true;
}

bool CTerminal::ReadBits(uint16_t reg, size_t first, size_t count) {
    const uint32_t n = ReadInteger(reg, 2, 1);
    const bool ok = LastError() == kMbOk;
    const uint64_t now = kit::Now();
    if (ok) {
        StampContact();
        (reg == kRegOutputs ? outputs_ : inputs_) = static_cast<uint8_t>(n);
    }
    for (size_t k = 0; k < count; ++k) {
        CDeviceItem* v = slots_[first + k].variable;
        if (v == nullptr) continue;
        if (ok)
            v->NewSample(plat::Variant::Bool((n >> k & 1) != 0), kQualityGood, now);
        else
            v->SetQuality(kQualityBad, now);
    }
    return ok;
}

bool CTerminal::ReadsFromDevice(size_t slot) const {
    return IsCardItem(slot) || slot == kBrightness || slot == kCursor ||
           (slot >= kIn1 && slot < kAddress);
}

bool CTerminal::ReadItem(CDeviceItem* item) {
    const int at = SlotOf(item);
    if (at < 0) return false;
    const auto slot = static_cast<size_t>(at);
    kit::LowerReadRequest(Var(slots_[slot]));
    if (IsCardItem(slot)) return ReadCard(slot);
    if (slot >= kIn1 && slot < kOut1) return ReadBits(kRegInputs, kIn1, 3);
    if (slot >= kOut1 && slot < kAddress) return ReadBits(kRegOutputs, kOut1, 4);
    if (slot == kBrightness || slot == kCursor) {
        // One register each: they sit side by side.
        const uint32_t n = ReadInteger(slots_[slot].reg, 2, 1);
        if (LastError() != kMbOk) {
            item->SetQuality(kQualityBad, kit::Now());
            return false;
        }
        StampContact();
        item->NewSample(plat::Variant::I4(static_cast<int32_t>(n)), kQualityGood, kit::Now());
        return true;
    }
    // Everything else is kept current by the status poll or by writes, or is the bus address:
    // a read answers with what the device holds, stamped now. decisions DEV-35
    const uint64_t now = kit::Now();
    if (slot == kAddress)
        item->NewSample(plat::Variant::I4(GetAddress()), kQualityGood, now);
    else
        item->SetQuality(kit::SlotQuality(slots_[slot]), now);
    return true;
}

bool CTerminal::Init() {
    CLogFile* log = Log();
    const uint64_t now = kit::Now();
    plat::DATE local = 0;
    if (CDeviceItem* v = slots_[kStartTime].variable) {
        if (plat::FileTimeToLocalDate(plat::U64ToFileTime(now), local)) {
            v->NewSample(plat::Variant::Date(local), kQualityGood, now);
        } else {
            if (log != nullptr) log->Warning("{1564E6DF-D067-4e7f-B9DC-9AC947D76373} %X", 0u);
            v->SetQuality(kQualityBad, now);
        }
    }
    if (log != nullptr) log->Trace("Инициализация %s", Name().c_str());
    if (CDeviceItem* v = slots_[kAddress].variable)
        v->NewSample(plat::Variant::I4(GetAddress()), kQualityGood, now);
    LoadKeyType();

    const uint16_t r = static_cast<uint16_t>(ReadInteger(kRegControl, 2, 1));
    if (LastError() != kMbOk) {
        for (ItemSlot& s : slots_)
            if (s.variable != nullptr) s.variable->SetQuality(kQualityBad, kit::Now());
        return false;
    }
    StampContact();
    control_ = r;
    status_ = static_cast<uint8_t>(r >> 8);
    SetLastKey(r, now);
    SetFlags(status_, now);
    if (control_ & 0x8000) {
        control_ &= 0x7FFF;
        if (WriteInteger(kRegControl, control_, 2) != kMbOk) return false;
        status_ &= static_cast<uint8_t>(~kRestarted);
    }
    if ((control_ & 0x0400) == 0)
        for (size_t i = kField1; i < kCardID; ++i) marked_[i] = true;
    for (size_t i = kField1; i < kCardID; ++i)
        if (CDeviceItem* v = slots_[i].variable)
            v->NewSample(plat::Variant::Str(""), kQualityBad, now);
    for (size_t i = kBufferKey1; i < kBufferKey1 + 10; ++i)
        if (CDeviceItem* v = slots_[i].variable)
            v->NewSample(plat::Variant::Str(""), kQualityGood, now);
    for (size_t i = kOut1; i < kAddress; ++i)
        if (CDeviceItem* v = slots_[i].variable) v->SetQuality(kQualityBad, now);
    if (type_ == 8) {
        ReadBits(kRegOutputs, kOut1, 4);
        ReadBits(kRegInputs, kIn1, 3);
    }
    return true;
}

int CTerminal::Scan() {
    CLogFile* log = Log();
    try {
        if (log != nullptr) log->Trace("Scan Terminal %s, Priority-%d", Name().c_str(), GetState());
        if (NeedsReinit() && Init()) ClearReinit();
        ExecuteNextWrite();
        if (StatusPoll() != 0) return 1;
        ReadItemFromDevice(slots_);
        for (size_t k = 0; k < kSlots; ++k) {
            const size_t i = (next_ + k) % kSlots;
            CVariable* v = Var(slots_[i]);
            if (v == nullptr || (v->ReadRequests() <= 0 && !marked_[i])) continue;
            if (!ReadsFromDevice(i)) {
                v->SetReadRequests(0);
                continue;
            }
            next_ = (i + 1) % kSlots;
            ReadItem(v);
            break;
        }
    } catch (const std::exception&) {
        if (log != nullptr) log->Error("{B460D913-3802-4fb3-9E36-55A99F29A14C} %s", Name().c_str());
    }
    return 1;
}

void CTerminal::SetBadQuality() {
    kit::SetQualities(slots_, kQualityBad, kit::Now());
}

// ---------------------------------------------------------------------------------------------
// Writes

int CTerminal::WriteDisplay(const plat::WideString& text) {
    // The line is counted in the text's own characters, each one byte on the line.
    for (char16_t c : text)
        if (c > 0xFF) return plat::E_INVALIDARG;
    size_t length = 0, regs = 0;
    // decisions DEV-29
    if (!text.empty() && text[0] == 0x55) {
        length = 21;
        regs = 9;
    } else if (!text.empty() && text[0] == 0xAA) {
        length = 19;
        regs = 8;
    } else {
        if (CLogFile* log = Log()) log->Info("{C0183F8D-016D-44a3-BF1D-D8CAEF4F343A}");
        return plat::E_INVALIDARG;
    }
    if (text.size() != length) return plat::OPC_E_RANGE;
    const auto start = static_cast<uint16_t>(text[2] << 8 | text[4]);
    // The marker and the two register characters are not shown; the rest fills the registers.
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != 0 && i != 2 && i != 4) bytes.push_back(static_cast<uint8_t>(text[i]));
    std::vector<uint16_t> words(regs, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        words[i / 2] |= static_cast<uint16_t>(i % 2 == 0 ? bytes[i] << 8 : bytes[i]);
    return WriteRegisters(start, words) == kMbOk ? 0 : plat::E_FAIL;
}

int CTerminal::WriteFlag(size_t slot, const plat::Variant& value) {
    plat::Variant b;
    if (plat::Failed(plat::VariantChangeType(b, value, 0, plat::VT_BOOL)))
        return plat::E_INVALIDARG;
    const auto bit = static_cast<uint16_t>(1u << (10 + slot - kCardRequest));
    const uint16_t word = b.boolVal != 0 ? control_ | bit : control_ & static_cast<uint16_t>(~bit);
    if (WriteInteger(kRegControl, word, 2) != kMbOk) return plat::E_FAIL;
    control_ = word;
    slots_[slot].variable->NewSample(plat::Variant::Bool(b.boolVal != 0), kQualityGood, kit::Now());
    return 0;
}

int CTerminal::WriteOutput(size_t slot, const plat::Variant& value) {
    plat::Variant b;
    if (plat::Failed(plat::VariantChangeType(b, value, 0, plat::VT_BOOL)))
        return plat::E_INVALIDARG;
    const auto bit = static_cast<uint8_t>(1u << (slot - kOut1));
    const uint8_t out = b.boolVal != 0 ? outputs_ | bit : outputs_ & static_cast<uint8_t>(~bit);
    if (WriteInteger(kRegOutputs, out, 2) != kMbOk) return plat::E_FAIL;
    outputs_ = out;
    slots_[slot].variable->NewSample(plat::Variant::Bool(b.boolVal != 0), kQualityGood, kit::Now());
    return 0;
}

int CTerminal::WriteMemoLine(const plat::Variant& value) {
    if (value.vt != plat::VT_BSTR) return plat::E_INVALIDARG;
    const plat::WideString& text = value.bstrVal;
    if (text.size() > kMemoLineChars) return plat::OPC_E_RANGE;
    std::string bytes;
    for (char16_t c : text) {
        if (c > 0xFF) return plat::E_INVALIDARG;
        bytes.push_back(static_cast<char>(c));
    }
    const auto reg = static_cast<uint16_t>(kRegMemo + kMemoLineRegs * memo_index_);
    if (WriteString(reg, bytes, kMemoLineChars) != kMbOk) return plat::E_FAIL;
    slots_[kMemoLine].variable->NewSample(value, kQualityGood, kit::Now());
    return 0;
}

int CTerminal::WriteRegister(size_t slot, const plat::Variant& value) {
    plat::Variant n;
    if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) || n.lVal < 0 ||
        n.lVal > 0xFFFF)
        return plat::OPC_E_RANGE;
    if (WriteInteger(slots_[slot].reg, n.lVal, 2) != kMbOk) return plat::E_FAIL;
    slots_[slot].variable->NewSample(plat::Variant::I4(n.lVal), kQualityGood, kit::Now());
    return 0;
}

int CTerminal::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    FoldWrites(item, value, id);
    const int at = SlotOf(item);
    int result = plat::E_FAIL;
    if (at >= 0) {
        const auto slot = static_cast<size_t>(at);
        switch (TheDefs()[slot].kind) {
            case kWriteFlag:
                result = WriteFlag(slot, value);
                break;
            case kWriteRegister:
                result = WriteRegister(slot, value);
                break;
            case kWriteDisplay:
                result =
                    value.vt == plat::VT_BSTR ? WriteDisplay(value.bstrVal) : plat::E_INVALIDARG;
                if (result == 0) item->NewSample(value, kQualityGood, kit::Now());
                break;
            case kWriteMemoLine:
                result = WriteMemoLine(value);
                break;
            case kWriteMemoIndex: {
                plat::Variant n;
                if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) || n.lVal < 0 ||
                    n.lVal > 255) {
                    result = plat::OPC_E_RANGE;
                } else {
                    memo_index_ = static_cast<uint8_t>(n.lVal);
                    item->NewSample(plat::Variant::I4(n.lVal), kQualityGood, kit::Now());
                    result = 0;
                }
                break;
            }
            case kWriteOutput:
                result = WriteOutput(slot, value);
                break;
            default:
                result = plat::OPC_E_BADRIGHTS;
                break;
        }
    }
    if (log != nullptr)
        log->Trace("{0516A2BA-AE8E-4d60-A6C5-C7B51DA06F99} %X", static_cast<unsigned>(result));
    SetWriteResult(id, result);
    return 1;
}

namespace {

std::unique_ptr<CDevice> MakeTerminal(IDevicePort* port, const DetectedDevice& found, uint16_t type,
                                      const char* type_name) {
    return kit::MakeDetected<CTerminal>(port, found, "Terminal%i", type_name, type);
}

}  // namespace

// decisions DEV-31
std::unique_ptr<CDevice> MakeKX310(IDevicePort* port, const DetectedDevice& found) {
    return MakeTerminal(port, found, 8, "KX310");
}

std::unique_ptr<CDevice> MakeKX310Ex(IDevicePort* port, const DetectedDevice& found) {
    return MakeTerminal(port, found, 9, "KX310Ex");
}

}  // namespace mb
