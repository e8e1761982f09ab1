#include "fieldbus/core/Device.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <exception>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/core/Variable.h"
#include "platform/time/clock.h"

namespace mb {

CDevice::CDevice(uint8_t address, IDevicePort* port)
    : address_(address),
      port_(port),
      host_(port != nullptr ? port->PortHost() : nullptr,
            port != nullptr ? port->PortLog() : nullptr),
      queue_(port != nullptr ? port->PortHost() : nullptr,
             port != nullptr ? port->PortLog() : nullptr) {
    SetState(kStateProbed);
}

CDevice::~CDevice() {
    DestroyVariables();
    queue_.FailAll(kResultDeviceOffline);
    for (auto& [survivor, ids] : folded_)
        for (int32_t id : ids) host_.CmdSetResult(id, kResultDeviceOffline, Log());
}

CLogFile* CDevice::Log() const {
    return port_ != nullptr ? port_->PortLog() : nullptr;
}

void CDevice::SetName(std::string name) {
    queue_.Lock().SetOwnerName(name);
    name_ = std::move(name);
}

void CDevice::StampContact() {
    last_contact_.store(plat::SysClock().UtcNow100ns());
}

void CDevice::StampTry() {
    last_try_.store(plat::SysClock().UtcNow100ns());
}

// ---------------------------------------------------------------------------------------------
// Variables

CDeviceItem* CDevice::MakeVariable(ItemSlot& slot) {
    variables_.reserve(variables_.size() + 1);
    auto* v = new CVariable(this, slot, Host(), Log());
    variables_.push_back(v);
    return v;
}

void CDevice::DestroyVariables(std::span<ItemSlot> slots) {
    std::vector<CVariable*> gone;
    gone.swap(variables_);
    for (CVariable* v : gone) {
        for (ItemSlot& slot : slots)
            if (slot.variable == v) {
                slot.variable = nullptr;
                slot.handle = -1;
            }
        // Detached first: a host call under way finishes, later writes answer 1117 and
        // never reach this device. No lock is held across pItemDestroy, which waits for the
        // host's calls into the variable.
        v->DetachDevice();
        const int32_t handle = v->HostHandle();
        if (handle >= 0) host_.ItemDestroy(handle, Log());
        v->Release();
    }
}

bool CDevice::CreateVariables(std::span<ItemSlot> slots) {
    CLogFile* log = Log();
    for (ItemSlot& slot : slots) {
        if (slot.IsEmpty()) continue;
        int16_t unusable = 0;
        int32_t parent = -1;
        int32_t out_handle = -1;
        host_.ItemFind(plat::Utf8ToWide(slot.parent).c_str(), unusable, out_handle, parent, log);
        if (parent < 0 || unusable != 0) return false;
        if (slot.variable == nullptr) slot.variable = MakeVariable(slot);
        if (slot.variable == nullptr || host_.Lacks(&HostCallbacks::pItemCreate)) return false;
        const plat::VARTYPE vt =
            slot.canonical_type != plat::VT_EMPTY ? slot.canonical_type : slot.raw_type;
        uint8_t access = slot.access == 9 ? uint8_t{3} : slot.access;
        if (slot.privileged) access |= kAccessPrivileged;
        // The description in the service's own language; clients ask for theirs as a property.
        std::string description;
        if (slot.description_id != 0) LoadText(slot.description_id, description);
        int32_t handle = -1;
        if (!host_.ItemCreate(slot.variable->HostItem(), plat::Utf8ToWide(slot.name).c_str(), vt,
                              access, parent, description.c_str(), handle, log))
            return false;
        slot.variable->SetHostHandle(handle);
        slot.handle = handle;
        slot.variable->SendInitialValue();
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writes

plat::HRESULT CDevice::QueueWrite(CDeviceItem* item, const plat::Variant& value, int32_t& id) {
    plat::HRESULT hr = queue_.Push(item, value, id);
    if (hr == plat::S_OK) SetWritesQueued();
    return hr;
}

int CDevice::WriteItem(CDeviceItem*, plat::Variant&, int32_t) {
    return 1;
}

bool CDevice::FoldWrites(CDeviceItem* item, plat::Variant& value, int32_t& id) {
    std::vector<int32_t> superseded;
    const int32_t before = id;
    bool found = queue_.TakeForVariable(item, value, id, superseded);
    if (found && current_open_ && current_id_ == before) current_id_ = id;
    if (!superseded.empty()) {
        // Ids folded earlier into one that is now superseded itself move along too.
        std::vector<int32_t>& mine = folded_[id];
        for (int32_t old : superseded) {
            mine.push_back(old);
            auto it = folded_.find(old);
            if (it != folded_.end() && old != id) {
                mine.insert(mine.end(), it->second.begin(), it->second.end());
                folded_.erase(it);
            }
        }
    }
    return found;
}

void CDevice::SetWriteResult(int32_t id, int32_t result) {
    if (current_open_ && id == current_id_) current_open_ = false;
    host_.CmdSetResult(id, result, Log());
    auto it = folded_.find(id);
    if (it == folded_.end()) return;
    std::vector<int32_t> ids = std::move(it->second);
    folded_.erase(it);
    for (int32_t old : ids) host_.CmdSetResult(old, result, Log());
}

void CDevice::ExecuteNextWrite() {
    CLogFile* log = Log();
    if (!queue_.IsNotEmpty()) {
        // A flag raised after the queue ran empty would keep the device's write bonus for good.
        ClearWritesQueued();
        return;
    }
    current_open_ = false;
    try {
        stopwatch_.Start();
        if (log != nullptr) log->Info("{ED2A0A10-52C8-4da6-9E51-98673F4EEEEE} %d", address_);
        CDeviceItem* item = nullptr;
        plat::Variant value;
        int32_t id = 0;
        if (queue_.Pop(item, value, id)) {
            current_id_ = id;
            current_open_ = true;
            const std::string name = item != nullptr ? item->ItemName() : std::string();
            if (host_.CmdIsCancelled(id, log)) {
                current_open_ = false;
                if (log != nullptr)
                    log->Info("{B9060B25-323A-44bc-AD13-CEF9426D47A4} %s %d", name.c_str(), id);
            } else if (item == nullptr) {
                SetWriteResult(id, plat::E_FAIL);
            } else if (item->IsReadOnly()) {
                if (log != nullptr)
                    log->Warning("{033C9322-66B4-43d2-A806-FC74FA234DF0} %s %d", name.c_str(), id);
                SetWriteResult(id, plat::OPC_E_BADRIGHTS);
            } else if (port_ != nullptr && port_->CaptureCount(address_) != 0) {
                if (log != nullptr)
                    log->Warning("{F58FB1B0-7855-4c4f-9B36-6E15F0CD12BE} %s %d", name.c_str(), id);
                SetWriteResult(id, kResultCaptured);
            } else {
                WriteItem(item, value, id);
            }
        }
    } catch (...) {
        if (log != nullptr) log->Error("{DFF1AA65-F108-4bc8-A482-7B09CA3C3572} %d", address_);
        // A model that gave up half way still owes its client an answer.
        if (current_open_) SetWriteResult(current_id_, plat::E_FAIL);
    }
    current_open_ = false;
    if (!queue_.IsNotEmpty()) ClearWritesQueued();
}

// ---------------------------------------------------------------------------------------------
// Read-backs and qualities

void CDevice::ReadItemFromDevice(std::span<ItemSlot> slots) {
    if (ReadBacksPending() <= 0) return;
    // The search starts behind the slot served last: a client that marks every item again and
    // again still has each one read within one turn over the slots.
    for (size_t n = 0; n < slots.size(); ++n) {
        const size_t i = (read_back_next_ + n) % slots.size();
        ItemSlot& slot = slots[i];
        if (slot.variable == nullptr || !slot.variable->TakeReadBackMark()) continue;
        read_back_next_ = (i + 1) % slots.size();
        if (CLogFile* log = Log()) log->Trace("ReadItemFromDevice %d", address_);
        try {
            ReadItem(slot.variable);
        } catch (...) {
            if (CLogFile* log = Log())
                log->Error("{9581FBE1-5339-4348-AAB3-DD1357DE716F} %d", address_);
        }
        DoneReadBack();
        return;
    }
    // A count with no marked variable behind it would keep the read-back bonus for good and
    // starve the port's other devices; let it run down.
    DoneReadBack();
}

void CDevice::SetAllBad(std::span<ItemSlot> slots) {
    const uint64_t now = plat::SysClock().UtcNow100ns();
    for (ItemSlot& slot : slots)
        if (slot.variable != nullptr) slot.variable->SetQuality(kQualityBad, now);
    SetState(kStateOffline);
    if (CLogFile* log = Log()) log->Warning("{5BFA5642-A9AD-4143-A542-3453DEB5585D} %X ", address_);
}

// ---------------------------------------------------------------------------------------------
// Register access

int CDevice::Account(int code) {
    IncRequestCount();
    last_error_.store(code);
    if (code == kMbOk) {
        SetErrorCount(0);
        return code;
    }
    if (code == kMbTimeout || code == kMbWriteError || code == kMbReadError) IncErrorCount();
    if (code == kMbCrcError) IncCrcErrorCount();
    CLogFile* log = Log();
    if (log != nullptr && log->TraceOn()) {
        CModbus* m = port_ != nullptr ? port_->PortModbus() : nullptr;
        std::string text = m != nullptr ? m->GetErrorText(code) : std::string();
        log->Trace("%s (%d)", text.c_str(), code);
    }
    return code;
}

// Runs one client request; the client's exception switch turns its codes into exceptions,
// which count like the codes.
template <class F>
int CDevice::Request(F&& f) {
    CModbus* m = port_ != nullptr ? port_->PortModbus() : nullptr;
    if (m == nullptr) return Account(kMbPortNotOpen);
    int code;
    try {
        code = f(*m);
    } catch (const CModbusException& e) {
        code = e.Code();
    }
    return Account(code);
}

uint32_t CDevice::ReadInteger(uint16_t reg, int size, int order) {
    if (CLogFile* log = Log())
        log->Trace("{2547CC68-E107-4f5c-8991-1288979E42F6} %X %u", reg, unsigned{address_});
    if (size == 1) {
        uint8_t status = 0;
        int code = Request([&](CModbus& m) { return m.ReadExceptionStatus(address_, status); });
        return code == kMbOk ? status : 0;
    }
    std::vector<uint16_t> w;
    const uint16_t count = size == 4 ? 2 : 1;
    int code = Request([&](CModbus& m) { return m.ReadHoldingRegisters(address_, reg, count, w); });
    if (code != kMbOk || w.size() != count) return 0;
    if (count == 1) return w[0];
    if (order == 1) return uint32_t{w[0]} << 16 | w[1];
    if (order == 0) {
        // Data bytes in line order: w0 high, w0 low, w1 high, w1 low; the first is the lowest.
        return uint32_t{w[0]} >> 8 | (uint32_t{w[0]} & 0xFF) << 8 | (uint32_t{w[1]} >> 8) << 16 |
               (uint32_t{w[1]} & 0xFF) << 24;
    }
    return 0;
}

int CDevice::ReadBytes(uint16_t reg, size_t count, std::vector<uint8_t>& out) {
    out.clear();
    const size_t regs = (count + 1) / 2;
    if (regs == 0) return kMbOk;
    if (regs > 125) return Account(kMbRequestTooLong);
    std::vector<uint16_t> w;
    int code = Request([&](CModbus& m) {
        return m.ReadHoldingRegisters(address_, reg, static_cast<uint16_t>(regs), w);
    });
    if (code != kMbOk) return code;
    for (uint16_t word : w) {
        out.push_back(static_cast<uint8_t>(word >> 8));
        out.push_back(static_cast<uint8_t>(word));
    }
    out.resize(std::min(out.size(), count));
    return code;
}

int CDevice::ReadString(uint16_t reg, size_t count, plat::WideString& out) {
    out.clear();
    std::vector<uint8_t> bytes;
    int code = ReadBytes(reg, count, bytes);
    if (code != kMbOk) return code;
    std::string text;
    for (uint8_t b : bytes) {
        if (b == 0) break;
        text.push_back(static_cast<char>(b));
    }
    out = plat::BytesToWide(text);
    return code;
}

int CDevice::WriteRegisters(uint16_t reg, std::span<const uint16_t> words) {
    int code = Request([&](CModbus& m) { return m.WriteMultipleRegisters(address_, reg, words); });
    if (code == kMbDeviceException + 0x48) return kWriteLocked;
    return code;
}

int CDevice::WriteInteger(uint16_t reg, int32_t value, int size, int order) {
    const uint32_t v = static_cast<uint32_t>(value);
    std::vector<uint16_t> w;
    if (size == 4) {
        if (order == 0)
            w = {static_cast<uint16_t>((v & 0xFF) << 8 | (v >> 8 & 0xFF)),
                 static_cast<uint16_t>((v >> 16 & 0xFF) << 8 | (v >> 24 & 0xFF))};
        else
            w = {static_cast<uint16_t>(v >> 16), static_cast<uint16_t>(v)};
    } else {
        w = {static_cast<uint16_t>(v)};
    }
    int code = WriteRegisters(reg, w);
    if (code != kMbOk)
        if (CLogFile* log = Log()) log->Error("Ошибка записи INT %X %u", reg, unsigned{address_});
    return code;
}

int CDevice::WriteInt64(uint16_t reg, int64_t value) {
    const uint64_t v = static_cast<uint64_t>(value);
    const uint16_t w[4] = {static_cast<uint16_t>(v >> 48), static_cast<uint16_t>(v >> 32),
                           static_cast<uint16_t>(v >> 16), static_cast<uint16_t>(v)};
    int code = WriteRegisters(reg, w);
    if (code != kMbOk)
        if (CLogFile* log = Log()) log->Error("Ошибка записи INT64 %X %u", reg, unsigned{address_});
    return code;
}

int CDevice::WriteString(uint16_t reg, std::string_view bytes, size_t count) {
    std::vector<uint16_t> w((count + 1) / 2, 0);
    for (size_t i = 0; i < count && i < bytes.size(); ++i) {
        const uint16_t b = static_cast<uint8_t>(bytes[i]);
        w[i / 2] |= (i % 2 == 0) ? static_cast<uint16_t>(b << 8) : b;
    }
    int code = WriteRegisters(reg, w);
    if (code != kMbOk)
        if (CLogFile* log = Log()) log->Error("Ошибка записи STR %X %u", reg, unsigned{address_});
    return code;
}

int CDevice::WriteVariant(uint16_t reg, const plat::Variant& value) {
    using namespace plat;
    switch (value.vt) {
        case VT_I1:
            return WriteInteger(reg, value.cVal, 2);
        case VT_UI1:
            return WriteInteger(reg, value.bVal, 2);
        case VT_I2:
            return WriteInteger(reg, value.iVal, 2);
        case VT_UI2:
            return WriteInteger(reg, value.uiVal, 2);
        case VT_BOOL:
            return WriteInteger(reg, value.boolVal != 0 ? 1 : 0, 2);
        case VT_I4:
        case VT_INT:
            return WriteInteger(reg, value.lVal, 4);
        case VT_UI4:
        case VT_UINT:
            return WriteInteger(reg, static_cast<int32_t>(value.ulVal), 4);
        case VT_I8:
        case VT_UI8:
            return WriteInt64(reg, value.llVal);
        case VT_R4:
        case VT_R8: {
            const float f = value.vt == VT_R4 ? value.fltVal : static_cast<float>(value.dblVal);
            return WriteRegisters(reg, FloatsToRegisters(std::span<const float>(&f, 1), true));
        }
        case VT_BSTR: {
            std::string bytes = WideToBytes(value.bstrVal);
            return WriteString(reg, bytes, bytes.size());
        }
        default:
            return kBadValueType;
    }
}

int CDevice::ReadVariable(CDeviceItem& item, size_t text_bytes) {
    using namespace plat;
    const uint16_t reg = item.ItemRegister();
    Variant v;
    int code = kBadValueType;
    switch (item.RawType()) {
        case VT_I4:
        case VT_UI4: {
            uint32_t n = ReadInteger(reg, 4, 1);
            code = LastError();
            v = item.RawType() == VT_I4 ? Variant::I4(static_cast<int32_t>(n)) : Variant::UI4(n);
            break;
        }
        case VT_R4: {
            uint32_t n = ReadInteger(reg, 4, 1);
            code = LastError();
            v = Variant::R4(std::bit_cast<float>(n));
            break;
        }
        case VT_BSTR: {
            WideString text;
            code = ReadString(reg, text_bytes, text);
            v = Variant::Str(std::move(text));
            break;
        }
        case VT_I8: {
            std::vector<uint16_t> w;
            code = Request([&](CModbus& m) { return m.ReadHoldingRegisters(address_, reg, 4, w); });
            uint64_t n = 0;
            if (code == kMbOk && w.size() == 4)
                for (uint16_t word : w) n = n << 16 | word;
            v = Variant::I8(static_cast<int64_t>(n));
            break;
        }
        default:
            break;
    }
    const uint64_t now = SysClock().UtcNow100ns();
    if (code == kMbOk)
        item.NewSample(std::move(v), kQualityGood, now);
    else
        item.SetQuality(kQualityBad, now);
    return code;
}

// ---------------------------------------------------------------------------------------------
// Conversions

uint32_t ToBcd(uint32_t value) {
    uint32_t out = 0;
    for (int shift = 0; shift < 32 && value != 0; shift += 4) {
        out |= (value % 10) << shift;
        value /= 10;
    }
    return out;
}

uint32_t FromBcd(uint32_t bcd) {
    uint32_t out = 0;
    for (int shift = 28; shift >= 0; shift -= 4) out = out * 10 + ((bcd >> shift) & 0xF);
    return out;
}

std::string KeyText(std::span<const uint16_t> words) {
    static const char kKeys[] = "9012345678FABCDE";
    std::string out;
    out.reserve(words.size() * 4);
    for (uint16_t w : words)
        for (int shift = 12; shift >= 0; shift -= 4) out += kKeys[(w >> shift) & 0xF];
    return out;
}

std::string HexWords(std::span<const uint16_t> words) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(words.size() * 4);
    for (uint16_t w : words)
        for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(w >> shift) & 0xF];
    return out;
}

std::string FloatText(double value, int decimals) {
    if (decimals < 0) decimals = 0;
    if (decimals > 9) decimals = 9;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::vector<uint16_t> FloatsToRegisters(std::span<const float> values, bool high_word_first) {
    std::vector<uint16_t> out;
    out.reserve(values.size() * 2);
    for (float f : values) {
        const uint32_t bits = std::bit_cast<uint32_t>(f);
        const uint16_t hi = static_cast<uint16_t>(bits >> 16), lo = static_cast<uint16_t>(bits);
        out.push_back(high_word_first ? hi : lo);
        out.push_back(high_word_first ? lo : hi);
    }
    return out;
}

std::string PadZeros(std::string_view text, size_t width) {
    if (text.size() >= width) return std::string(text);
    return std::string(width - text.size(), '0') + std::string(text);
}

}  // namespace mb
