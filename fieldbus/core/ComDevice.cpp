#include "fieldbus/core/ComDevice.h"

#include <algorithm>
#include <exception>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/ModbusClient.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace mb {

namespace {

// A plain decimal number (digits only, at least one) no larger than `max`.
bool ParseDecimal(std::string_view text, uint32_t max, uint32_t& out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > max) return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of "key=" where the key starts the text or follows "&"; it runs to the next "&".
std::optional<std::string_view> FindValue(std::string_view text, std::string_view key) {
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t end = std::min(text.find('&', pos), text.size());
        std::string_view part = text.substr(pos, end - pos);
        if (part.size() > key.size() && part.substr(0, key.size()) == key &&
            part[key.size()] == '=')
            return part.substr(key.size() + 1);
        pos = end + 1;
    }
    return std::nullopt;
}

// The port's answer and inter-character time-outs, put back however the exchange ends.
class TimeoutsKept {
  public:
    explicit TimeoutsKept(CLocalModbus* m)
        : m_(m),
          answer_(m != nullptr ? m->GetAnswerTimeout() : 0),
          silent_(m != nullptr ? m->GetSilentTimeout() : 0) {}
    ~TimeoutsKept() {
        if (m_ == nullptr) return;
        m_->SetAnswerTimeout(answer_);
        m_->SetSilentTimeout(silent_);
    }
    TimeoutsKept(const TimeoutsKept&) = delete;
    TimeoutsKept& operator=(const TimeoutsKept&) = delete;

  private:
    CLocalModbus* m_;
    uint32_t answer_;
    uint32_t silent_;
};

}  // namespace

plat::HRESULT ParseCaptureCommand(std::string_view text, int max_address, CaptureCommand& out) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) return plat::OPC_E_RANGE;
    const std::string_view keyword = text.substr(0, eq);
    CaptureCommand c;
    if (keyword == "CAPTUREW")
        c.kind = CaptureCommand::kCaptureReadWrite;
    else if (keyword == "CAPTURER")
        c.kind = CaptureCommand::kCaptureReadOnly;
    else if (keyword == "RELEASE")
        c.kind = CaptureCommand::kRelease;
    else
        return plat::OPC_E_RANGE;
    const std::string_view digits = text.substr(eq + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return plat::E_INVALIDARG;
    uint32_t address = 0;
    const uint32_t max = static_cast<uint32_t>(std::clamp(max_address, 0, 255));
    if (!ParseDecimal(digits, max, address)) return plat::OPC_E_RANGE;
    if (address == 0 && c.kind != CaptureCommand::kRelease) return plat::OPC_E_RANGE;
    c.address = static_cast<uint8_t>(address);
    out = c;
    return plat::S_OK;
}

plat::HRESULT ParseTxRx(std::string_view text, TxRxRequest& out) {
    TxRxRequest r;
    const auto query = FindValue(text, "QUERY");
    if (!query || query->empty() || query->size() > kMaxQueryChars || query->size() % 2 != 0)
        return plat::E_INVALIDARG;
    r.query.reserve(query->size() / 2);
    for (size_t i = 0; i < query->size(); i += 2) {
        const int hi = HexDigit((*query)[i]);
        const int lo = HexDigit((*query)[i + 1]);
        if (hi < 0 || lo < 0) return plat::E_INVALIDARG;
        r.query.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    uint32_t v = 0;
    if (const auto s = FindValue(text, "RESPONSE_LEN")) {
        if (!ParseDecimal(*s, kMaxResponseLen, v)) return plat::E_INVALIDARG;
        r.response_len = v;
    }
    if (const auto s = FindValue(text, "ADDRESS_EX")) {
        if (!ParseDecimal(*s, 247, v)) return plat::E_INVALIDARG;
        r.address_ex = static_cast<uint8_t>(v);
    }
    if (const auto s = FindValue(text, "TIMEOUT")) {
        if (!ParseDecimal(*s, kMaxExchangeTimeoutMs, v) || v == 0) return plat::E_INVALIDARG;
        r.timeout_ms = v;
    }
    if (const auto s = FindValue(text, "SILENT")) {
        if (!ParseDecimal(*s, kMaxExchangeTimeoutMs, v) || v == 0) return plat::E_INVALIDARG;
        r.silent_ms = v;
    }
    out = std::move(r);
    return plat::S_OK;
}

int MaxPortAddress(IDevicePort* port) {
    if (port == nullptr) return 247;
    if (port->PortIcpcon() != nullptr) return 254;
    if (port->PortConvel() != nullptr) return 10;
    return 247;
}

// ---------------------------------------------------------------------------------------------

CComDevice::CComDevice(IDevicePort* port)
    : CDevice(0, port),
      branch_("System.COM" + std::to_string(port != nullptr ? port->PortNumber() : 0)) {
    const char* names[2] = {"Command", "TxRx"};
    const uint16_t regs[2] = {kCommandRegister, kTxRxRegister};
    for (int i = 0; i < 2; ++i) {
        ItemSlot& s = slots_[i];
        s.raw_type = plat::VT_BSTR;
        s.min_interval_ms = 0;
        s.parent = branch_;
        s.name = names[i];
        s.reg = regs[i];
        s.access = 3;
        s.initial = plat::Variant::Str(plat::WideString());
    }
    SetName(branch_);
    SetTypeName("System");
}

CComDevice::~CComDevice() {
    DestroyVariables(slots_);
    if (branch_handle_ >= 0) Host().ItemDestroy(branch_handle_, Log());
    if (CLogFile* log = Log()) log->Info("{95CA7308-2026-4040-ADB9-D26FA660BB31}");
}

bool CComDevice::CreateItems() {
    const CHostCalls& host = Host();
    CLogFile* log = Log();
    if (host.Lacks(&HostCallbacks::pItemFind)) return false;
    // A host that throws gives up the items, with one report for the device.
    const char* const failed = "{17378DFC-C4A3-49b5-B3F6-670E98F8EC82} CComDevice";
    int16_t leaf = 0;
    int32_t parent = -1;
    int32_t system = -1;
    if (!host.ItemFind(u"System", leaf, parent, system, log, failed)) return false;
    if (system < 0 || leaf != 0) {
        if (log != nullptr) log->Warning("CComDevice: no branch System");
        return false;
    }
    leaf = 0;
    if (!host.ItemFind(plat::Utf8ToWide(branch_).c_str(), leaf, parent, branch_handle_, log,
                       failed))
        return false;
    if (branch_handle_ < 0 && !host.Lacks(&HostCallbacks::pParentCreate)) {
        const std::string port_name = branch_.substr(branch_.find('.') + 1);
        if (!host.ParentCreate(plat::Utf8ToWide(port_name).c_str(), system, branch_handle_, log,
                               failed))
            return false;
    }
    if (branch_handle_ < 0 || leaf != 0) {
        if (log != nullptr) log->Warning("CComDevice: no branch %s", branch_.c_str());
        if (leaf != 0) branch_handle_ = -1;  // a leaf of that name is not ours to remove
        return false;
    }
    return CreateVariables(slots_);
}

bool CComDevice::Init() {
    StampContact();
    if (CDeviceItem* command = slots_[0].variable)
        command->SetQuality(kQualityGood, plat::SysClock().UtcNow100ns());
    return true;
}

int CComDevice::Scan() {
    if (NeedsReinit() && Init()) ClearReinit();
    ExecuteNextWrite();
    return 1;
}

int CComDevice::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    int32_t result = plat::E_FAIL;
    try {
        if (value.vt != plat::VT_BSTR)
            result = plat::E_INVALIDARG;
        else if (item == slots_[0].variable)
            result = RunCommand(plat::WideToBytes(value.bstrVal));
        else if (item == slots_[1].variable)
            result = RunTxRx(plat::WideToBytes(value.bstrVal));
    } catch (...) {
        if (CLogFile* log = Log()) log->Error("{17378DFC-C4A3-49b5-B3F6-670E98F8EC82} CComDevice");
        result = plat::E_FAIL;
    }
    SetWriteResult(id, result);
    if (CLogFile* log = Log())
        log->Trace("{E0E12FF7-A946-4e2c-9951-225A32891247} %X", static_cast<unsigned>(result));
    return result;
}

int32_t CComDevice::RunCommand(const std::string& text) {
    IDevicePort* port = Port();
    CaptureCommand c;
    const plat::HRESULT hr = ParseCaptureCommand(text, MaxPortAddress(port), c);
    if (hr != plat::S_OK) {
        if (CLogFile* log = Log()) log->Warning("CComDevice Command refused: %s", text.c_str());
        return hr;
    }
    if (port == nullptr) return plat::E_FAIL;
    switch (c.kind) {
        case CaptureCommand::kCaptureReadWrite:
            return port->Capture(c.address, true);
        case CaptureCommand::kCaptureReadOnly:
            return port->Capture(c.address, false);
        case CaptureCommand::kRelease:
            return port->Release(c.address);
    }
    return plat::E_FAIL;
}

int32_t CComDevice::RunTxRx(const std::string& text) {
    TxRxRequest r;
    if (ParseTxRx(text, r) != plat::S_OK) {
        if (CLogFile* log = Log()) log->Warning("CComDevice TxRx refused: %s", text.c_str());
        return plat::E_INVALIDARG;
    }
    IDevicePort* port = Port();
    const uint8_t address = r.Address();
    if (port == nullptr || port->CaptureCount(address) == 0) return plat::E_FAIL;

    CModbus* m = port->PortModbus();
    auto* local = dynamic_cast<CLocalModbus*>(m);
    int code = kMbPortNotOpen;
    std::vector<uint8_t> answer;
    size_t length = 0;
    {
        TimeoutsKept kept(local);
        if (local != nullptr) {
            if (r.timeout_ms) local->SetAnswerTimeout(*r.timeout_ms);
            if (r.silent_ms) local->SetSilentTimeout(*r.silent_ms);
        }
        if (m != nullptr)
            code = m->Transaction(r.query.data(), r.query.size(), answer, r.ExpectedLength(),
                                  r.Encapsulation(), length);
    }
    const std::string out =
        code == kMbOk
            ? HexText(std::span<const uint8_t>(answer.data(), std::min(length, answer.size())))
            : "ERROR=" + std::to_string(code);
    if (CDeviceItem* txrx = slots_[1].variable)
        txrx->NewSample(plat::Variant::Str(plat::BytesToWide(out)), kQualityGood,
                        plat::SysClock().UtcNow100ns());
    return code;
}

std::unique_ptr<CDevice> MakeSystemDevice(IDevicePort* port) {
    if (port == nullptr || !port->IsRealPort()) return nullptr;
    auto device = std::make_unique<CComDevice>(port);
    if (!device->CreateItems())
        if (CLogFile* log = port->PortLog())
            log->Warning("CComDevice: items of %s not created", device->BranchName().c_str());
    device->Init();
    return device;
}

}  // namespace mb
