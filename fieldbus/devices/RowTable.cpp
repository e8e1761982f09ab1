#include "fieldbus/devices/RowTable.h"

#include <algorithm>
#include <exception>

#include "fieldbus/core/Convel.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/LogFile.h"
#include "fieldbus/devices/DeviceKit.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace mb {

namespace {

// CP866 0xB0..0xFF (0x80..0xAF and 0xE0..0xEF are the Cyrillic letters in order).
constexpr char16_t kHighHalf[] = {
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    // 0xE0..0xEF
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B,
    0x044C, 0x044D, 0x044E, 0x044F,
    // 0xF0..0xFF
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A,
    0x2116, 0x00A4, 0x25A0, 0x00A0};
static_assert(sizeof kHighHalf / sizeof kHighHalf[0] == 0x50);

char Cp866(char16_t c) {
    if (c < 0x80) return static_cast<char>(c);
    if (c >= 0x0410 && c <= 0x043F) return static_cast<char>(0x80 + (c - 0x0410));
    for (size_t i = 0; i < sizeof kHighHalf / sizeof kHighHalf[0]; ++i)
        if (kHighHalf[i] == c) return static_cast<char>(0xB0 + i);
    return '?';
}

constexpr uint8_t kPrefix[] = {0x1B, 0x52, 0x05};  // running mode
constexpr uint8_t kSuffix[] = {0x1B, 0x50, 0x02};
constexpr uint8_t kEndOfText = 0x1A;
constexpr size_t kPlainLength = 16;
constexpr size_t kFramedMax = 170;
constexpr size_t kUnframedMax = 250;
constexpr size_t kUnframedBlock = 255;
constexpr uint8_t kTextCommand = 0x12;

}  // namespace

std::string ToCp866(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            ++i;  // a pair is one character
        out += Cp866(c);
    }
    return out;
}

int BoardTextBytes(std::u16string_view text, bool framed, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() > (framed ? kFramedMax : kUnframedMax)) return plat::OPC_E_RANGE;
    if (text.find(u'\x1A') != std::u16string_view::npos) return plat::E_INVALIDARG;
    const std::string oem = ToCp866(text);
    if (framed) {
        const bool running = text.size() > kPlainLength;
        if (running) out.insert(out.end(), std::begin(kPrefix), std::end(kPrefix));
        out.insert(out.end(), oem.begin(), oem.end());
        if (running) out.insert(out.end(), std::begin(kSuffix), std::end(kSuffix));
        out.push_back(kEndOfText);
        return 0;
    }
    out.assign(kUnframedBlock, kEndOfText);
    out[0] = 1;
    std::copy(oem.begin(), oem.end(), out.begin() + 1);
    return 0;
}

CRowTable::CRowTable(IDevicePort* port, uint8_t address, std::string name)
    : CDevice(address, port), next_scan_(plat::GetTickCount()) {
    SetName(name);
    if (CLogFile* log = Log()) log->Info("{B2A77E5A-0B1D-4645-8689-3008DFDE94BD} %s", name.c_str());
    ItemSlot& s = slots_[0];
    s.raw_type = plat::VT_BSTR;
    s.parent = name;
    s.name = "String";
    s.access = 3;
    s.initial = plat::Variant::Str(plat::WideString());
    s.description_id = 4057;
    kit::CreateInOwnBranch(*this, Host(), slots_, branch_);
}

CRowTable::~CRowTable() {
    if (CLogFile* log = Log()) log->Info("Удаления устройства %s", Name().c_str());
    kit::DestroyOwnBranch(*this, Host(), slots_, branch_);
}

int CRowTable::Scan() {
    CLogFile* log = Log();
    try {
        if (NeedsReinit() && Init()) ClearReinit();
        ExecuteNextWrite();
        const uint32_t now = plat::GetTickCount();
        if (static_cast<int32_t>(plat::TickDiff(now, next_scan_)) < 0) {
            plat::Sleep(10);
            return 1;
        }
        if (log != nullptr) log->Trace("Scan Table %s, Priority-%d", Name().c_str(), GetCounter());
        next_scan_ = now + kScanIntervalMs;
        CLocalConvel* convel = Port() != nullptr ? Port()->PortConvel() : nullptr;
        if (convel == nullptr) return 1;
        const int code = convel->CheckLink(GetAddress());
        if (log != nullptr) log->Trace("%s", CLocalConvel::GetErrorText(code).c_str());
        if (code == convel::kOk) {
            // As every answered request does: sporadic failures must not add up to offline.
            SetErrorCount(0);
        } else if (code == convel::kTimeout || code == convel::kInvalid ||
                   code == convel::kWriteError || code == convel::kReadError) {
            IncErrorCount();
        } else if (code == convel::kCrcError) {
            IncCrcErrorCount();
        }
    } catch (const std::exception& e) {
        if (log != nullptr) log->Info("{DA9EB146-8468-479c-95DE-D6F6127E9C88} %s", e.what());
    } catch (...) {
        if (log != nullptr) log->Info("{DA9EB146-8468-479c-95DE-D6F6127E9C88} %s", "?");
    }
    return 1;
}

int CRowTable::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    int32_t result = plat::E_FAIL;
    CLocalConvel* convel = Port() != nullptr ? Port()->PortConvel() : nullptr;
    try {
        if (item != nullptr && value.vt == plat::VT_BSTR && convel != nullptr) {
            const bool framed = convel->FramedMode();
            std::vector<uint8_t> bytes;
            result = BoardTextBytes(value.bstrVal, framed, bytes);
            if (result == 0)
                result = framed ? convel->Request(1, GetAddress(), kTextCommand, bytes)
                                : convel->WriteData(bytes);
        }
    } catch (...) {
        if (log != nullptr) log->Error("{F9E98135-F728-4db9-932E-C6483AD189F8}");
        result = plat::E_FAIL;
    }
    SetWriteResult(id, result);
    // Only a text the board took is shown as the value; 1117 is a failure too.
    if (result == 0 && item != nullptr)
        item->NewSample(plat::Variant::Str(value.bstrVal), kQualityGood,
                        plat::SysClock().UtcNow100ns());
    if (log != nullptr)
        log->Trace("{D6F3D452-1636-46d8-98E4-65FFADE14582} %d %X", int(GetAddress()),
                   unsigned(result));
    return result;
}

std::unique_ptr<CDevice> MakeRowTable(IDevicePort* port, const DetectedDevice& found) {
    const int shift = port != nullptr ? port->NameShift() : 0;
    auto device = std::make_unique<CRowTable>(port, found.address,
                                              "RowRun" + std::to_string(shift + found.address));
    device->SetTypeName("ROWTABLE");
    return device;
}

}  // namespace mb
