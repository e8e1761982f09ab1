#include "fieldbus/devices/QMU.h"

#include <cstdio>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/devices/Plate.h"
#include "fieldbus/devices/Post.h"
#include "platform/process/process.h"
#include "platform/time/clock.h"

namespace mb {

namespace {

enum UnitSlot : size_t {
    kAdr = 0,
    kCountPost = 1,
    kVersionSlot = 1,
    kConfiguration = 2,
    kBuildSlot = 2,
    kUid = 7,
    kAirValve = 21,
    kUss = 22,
    kSensorWait = 23,
    kFullUp = 24,
    kFullDown = 25,
    kFirmware = 28,
    kInspector = 29,
    kTemperature = 30,
};

// decisions DEV-12
constexpr int kExceptionLocked = kMbDeviceException + 0x48;
constexpr int kExceptionBusy = kMbDeviceException + 0x06;

std::string Format(const char* fmt, int a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

int32_t IntOf(const plat::Variant& v) {
    plat::Variant out;
    if (plat::Failed(plat::VariantChangeType(out, v, 0, plat::VT_I4))) return -1;
    return out.lVal;
}

}  // namespace

CQMUDevice::CQMUDevice(IDevicePort* port, uint8_t address, std::string name, uint32_t ident,
                       int32_t option)
    : CControlUnit(address, port) {
    SetName(std::move(name));
    version_ = static_cast<uint16_t>(ident >> 16);
    build_ = static_cast<uint16_t>(ident);
    if (CLogFile* log = Log()) log->Info("Version QMU %.02X.%.04X", version_, build_);
    limited_ = version_ > 6 ? 1 : version_ == 0 ? -1 : 0;
    if (option == -1) {
        opt_a_ = opt_b_ = opt_c_ = true;
        const uint32_t word = ReadInteger(18, 2, 0);
        mode_ = LastError() == kMbOk ? static_cast<int>(word >> 15 & 1) : 0;
    } else {
        opt_a_ = (option >> 6 & 1) != 0;
        opt_b_ = (option >> 5 & 1) != 0;
        opt_c_ = (option >> 4 & 1) != 0;
        mode_ = (option >> 3 & 1) != 0 ? 1 : (option & 1);
    }
    const bool flat = port != nullptr && port->FlatPosts();
    if (mode_ == 0) {
        if (!flat) FindOrCreateBranch(branch_);
        if (!CreatePosts())
            if (CLogFile* log = Log())
                log->Error("{9C1B3D1E-6B77-4A0B-8F0A-2D5E7A44C1A1} %s", Name().c_str());
        DefineVariables();
        CreateVariables(slots_);
    } else {
        DefineModuleVariables();
        FindOrCreateBranch(branch_);
        CreateVariables(slots_);
        DiscoverPlates();
    }
    SetCounter(0);
    SetErrorCount(0);
    SetCrcErrorCount(0);
    StampTry();
}

CQMUDevice::~CQMUDevice() {
    plat::process::Abandon(configurator_);
    while (!posts_.empty()) DropPost(posts_.back());
    plates_.clear();
    plate_store_.clear();
    DestroyVariables(slots_);
    if (branch_ >= 0) Host().ItemDestroy(branch_, nullptr, ("pItemDestroy " + Name()).c_str());
}

bool CQMUDevice::FindOrCreateBranch(int32_t& handle) {
    handle = kit::FindOrCreateBranchPath(Host(), Name());
    return handle >= 0;
}

void CQMUDevice::DefineVariables() {
    const bool flat = Port() != nullptr && Port()->FlatPosts();
    parent_name_ = flat && !first_post_name_.empty() ? first_post_name_ : Name();
    if (flat) kit::FindOrCreateBranchPath(Host(), parent_name_);
    for (auto& s : slots_) s = ItemSlot{};
    kinds_ = {};
    const std::string& p = parent_name_;
    auto def = [&](size_t i, const char* name, plat::VARTYPE vt, uint16_t reg, int size,
                   uint8_t access, int code, uint32_t desc, uint32_t units = 0,
                   plat::VARTYPE host = plat::VT_EMPTY) {
        kit::DefineSlot(slots_[i], p, name, vt, reg, access, desc, units, host);
        kinds_[i] = kit::SlotKind{code, size, false};
    };
    // decisions DEV-14
    def(kAdr, "AdrController", plat::VT_I4, 0, 2, 3, kCodeAddress, 4018);
    kit::SetRange(slots_[kAdr], 1, 247);
    slots_[kAdr].privileged = true;
    slots_[kAdr].initial = plat::Variant::I4(1);
    def(kFirmware, "FirmwareVersion", plat::VT_BSTR, 0, 8, 1, kCodeFirmware, 4058);
    slots_[kFirmware].initial = plat::Variant::Str(std::string_view(""));
    if (limited_ != 0) return;
    def(kCountPost, "CountPost", plat::VT_I4, 0, 2, 1, 0, 4031);
    kit::SetRange(slots_[kCountPost], 1, 7);
    def(kConfiguration, "Configuration", plat::VT_BSTR, 0, -1, 0x83, kCodeConfiguration, 4121);
    slots_[kConfiguration].initial = plat::Variant::Str(std::string_view(" "));
    // The unit keeps what a client writes here: bounded like every client-held value.
    // decisions DEV-9
    kit::SetRange(slots_[kConfiguration], 0, kMaxConfigurationChars);
    if (build_ < 64) {
        def(kAirValve, "AirValveTime", plat::VT_I4, 3, 2, 3, 0, 4027);
        def(kUss, "USSTimeout", plat::VT_I4, 4, 2, 3, 0, 4028);
        def(kSensorWait, "SensorWaitTime", plat::VT_I4, 5, 2, 3, 0, 4052);
        for (size_t i : {kAirValve, kUss, kSensorWait}) kit::SetRange(slots_[i], 0, 255);
        def(kFullUp, "FullUp", plat::VT_BSTR, 10, 4, 3, kCodeText, 4029, 4011, plat::VT_I4);
        def(kFullDown, "FullDown", plat::VT_BSTR, 12, 4, 3, kCodeText, 4030, 4011, plat::VT_I4);
        for (size_t i : {kFullUp, kFullDown}) {
            kit::SetRange(slots_[i], 0, 4);
            slots_[i].initial = plat::Variant::Str(std::string_view("0"));
        }
    }
    def(kUid, "UID", plat::VT_BSTR, 22, 32, 0x81, kCodeUid, 0);
    def(kInspector, "Inspector", plat::VT_I4, 20, 4, 1, kCodeInspector, 4061);
    // The unit's address, its identity and its timing settings are for trusted clients only.
    for (size_t i : {kAirValve, kUss, kSensorWait, kFullUp, kFullDown, kUid})
        slots_[i].privileged = !slots_[i].IsEmpty();
    if (build_ > 34) {
        def(kTemperature, "InnerTemperature", plat::VT_R4, 45, 4, 1, 0, 4108, 4026);
        slots_[kTemperature].min_interval_ms = 30000;
        slots_[kTemperature].decimals = 1;
    }
}

void CQMUDevice::DefineModuleVariables() {
    parent_name_ = Name();
    for (auto& s : slots_) s = ItemSlot{};
    kinds_ = {};
    kit::DefineSlot(slots_[kAdr], parent_name_, "Address", plat::VT_I4, 0, 3, 4018);
    kit::SetRange(slots_[kAdr], 1, 247);
    slots_[kAdr].privileged = true;
    kinds_[kAdr] = kit::SlotKind{kCodeAddress, 2, false};
    kit::DefineSlot(slots_[kVersionSlot], parent_name_, "Version", plat::VT_I4, 0, 1, 4054);
    kit::DefineSlot(slots_[kBuildSlot], parent_name_, "Build", plat::VT_I4, 0, 1, 4055);
    if (build_ > 34) {
        kit::DefineSlot(slots_[kTemperature], parent_name_, "InnerTemperature", plat::VT_R4, 45, 1,
                        4108, 4026);
        slots_[kTemperature].min_interval_ms = 30000;
        slots_[kTemperature].decimals = 1;
        kinds_[kTemperature] = kit::SlotKind{0, 4, false};
    }
}

// ---------------------------------------------------------------------------------------------
// Posts

CPost* CQMUDevice::MakePost(int channel, uint16_t number, uint16_t base, int side,
                            uint32_t identity, uint16_t option) {
    auto post = std::make_unique<CPost>(this, channel, number, base, side, identity, option);
    if (!post->IsValid()) return nullptr;
    return post.release();
}

void CQMUDevice::AddPost(CPost* post, size_t at) {
    posts_.insert(posts_.begin() + static_cast<std::ptrdiff_t>(std::min(at, posts_.size())), post);
    post->SetState(kStateFound);
    if (Port() == nullptr || !Port()->AdoptDevice(post)) kept_.emplace_back(post);
}

void CQMUDevice::ForgetPost(CPost* post) {
    std::erase(posts_, post);
}

void CQMUDevice::DropPost(CPost* post) {
    std::erase(posts_, post);
    for (auto it = kept_.begin(); it != kept_.end(); ++it)
        if (it->get() == post) {
            kept_.erase(it);  // deletes it
            return;
        }
    if (Port() != nullptr) Port()->ReleaseDevice(post).reset();
}

bool CQMUDevice::CreatePosts() {
    CLogFile* log = Log();
    side1_ = static_cast<int>(ReadInteger(1, 2, 0));
    if (LastError() != kMbOk) side1_ = 0;
    side2_ = static_cast<int>(ReadInteger(2, 2, 0));
    if (LastError() != kMbOk) side2_ = 0;
    if (side1_ == 0 && side2_ == 0) {
        if (log != nullptr) log->Error("{6A2E1F0B-0C3B-4F7E-9D43-0F7C1E2B5A10} %s", Name().c_str());
        return false;
    }
    post_count_ = std::min(side1_ + side2_, kMaxPosts);
    uint16_t base = 0;
    int made = 0;
    for (int i = 1; i <= post_count_; ++i) {
        const uint16_t reg = static_cast<uint16_t>(i * 256);
        uint16_t number = static_cast<uint16_t>(ReadInteger(reg + 1, 2, 0));
        if (LastError() == kExceptionLocked) {
            std::vector<uint8_t> bytes;
            const int code = kit::ClientCall(
                Port() != nullptr ? Port()->PortModbus() : nullptr,
                [&](CModbus& m) { return m.ReadBank(GetAddress(), reg + 125, 2, bytes); });
            kit::CountError(*this, code);
            if (code != kMbOk || bytes.size() < 2) return false;
            number = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
        } else if (LastError() != kMbOk) {
            return false;
        }
        const uint32_t identity = ReadInteger(reg + 78, 4, 1);
        uint16_t option = 31;
        if (build_ > 33) {
            const uint32_t o = ReadInteger(reg + 77, 2, 0);
            if (LastError() == kMbOk) option = static_cast<uint16_t>(o);
        }
        if (i == 1) base = number;
        if (number == 0) continue;
        CPost* post = MakePost(i, number, base, i <= side1_ ? 1 : 2, identity, option);
        if (post == nullptr) return false;
        if (i == 1) first_post_name_ = post->Name();
        AddPost(post, posts_.size());
        ++made;
    }
    return made == post_count_;
}

bool CQMUDevice::ActivatePosts() {
    if (version_ < 3) {
        for (CPost* p : posts_) p->SetActive(true);
        return true;
    }
    const uint32_t start = plat::GetTickCount();
    uint8_t status = 0;
    int code;
    for (;;) {
        if (build_ <= 40) plat::Sleep(500);
        code = kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr, [&](CModbus& m) {
            return m.ReadExceptionStatus(GetAddress(), status);
        });
        kit::CountError(*this, code);
        if (code != kExceptionBusy) break;
        if (CLogFile* log = Log()) log->Warning("Busy %s", Name().c_str());
        if (plat::GetTickCount() - start >= 1000) break;
    }
    if (code != kMbOk) return false;
    const int hi = status >> 4, lo = status & 0xF;
    for (CPost* p : posts_) p->SetActive(p->Channel() == hi || p->Channel() == lo);
    return true;
}

bool CQMUDevice::RecreatePosts() {
    CLogFile* log = Log();
    for (size_t i = 0; i < posts_.size(); ++i) {
        CPost* post = posts_[i];
        if (post->GetState() == kStateOffline) {
            if (log != nullptr)
                log->Warning("{E3A5F0C2-1B9D-4C47-8E61-4B0D9E5A7F33} %s", post->Name().c_str());
            SetState(kStateOffline);
            StampContact();
            SetBadQuality();
            return false;
        }
        if (!post->WantsRecreate()) continue;
        const int channel = post->Channel();
        const uint16_t number = post->NewNumber(), base = post->BaseNumber();
        const int side = post->Side();
        const uint32_t identity = post->Identity();
        const uint16_t option = post->OptionWord();
        DropPost(post);
        if (number == 0) return false;
        CPost* fresh = MakePost(channel, number, base, side, identity, option);
        if (fresh == nullptr) {
            if (log != nullptr) log->Error("{5D1C7E2A-3F48-4B6E-A0C9-7E2F1D3B4A58} %d", number);
            return false;
        }
        AddPost(fresh, i);
        ActivatePosts();
        fresh->SetReinit();
        if (i == 0) {
            first_post_name_ = fresh->Name();
            if (Port() != nullptr && Port()->FlatPosts()) {
                RedefineUnderFirstPost();
                for (CPost* p : posts_) p->SetReinit();
            }
        }
        return false;
    }
    return true;
}

void CQMUDevice::RedefineUnderFirstPost() {
    DestroyVariables(slots_);
    DefineVariables();
    CreateVariables(slots_);
}

// ---------------------------------------------------------------------------------------------
// Plates

int CQMUDevice::PlateRead(uint8_t module, uint16_t reg, uint16_t& value) {
    std::vector<uint16_t> w;
    const uint16_t enc = static_cast<uint16_t>(GetAddress() << 8 | 0x42);
    const int code =
        kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr,
                        [&](CModbus& m) { return m.ReadHoldingRegisters(module, reg, 1, w, enc); });
    if (code == kMbOk && w.size() == 1) value = w[0];
    return code;
}

int CQMUDevice::PlateWrite(uint8_t module, uint16_t reg, uint16_t value) {
    const uint16_t enc = static_cast<uint16_t>(GetAddress() << 8 | 0x42);
    const uint16_t words[1] = {value};
    return kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr, [&](CModbus& m) {
        return m.WriteMultipleRegisters(module, reg, words, enc);
    });
}

void CQMUDevice::DiscoverPlates() {
    auto add = [&](uint8_t module, int place, bool output) {
        auto plate = std::make_unique<CPlate>(this, module, place, output);
        plates_.push_back(plate.get());
        plate_store_.push_back(std::move(plate));
    };
    std::vector<uint16_t> w;
    const int code =
        kit::ClientCall(Port() != nullptr ? Port()->PortModbus() : nullptr,
                        [&](CModbus& m) { return m.ReadHoldingRegisters(GetAddress(), 32, 3, w); });
    kit::CountError(*this, code);
    if (code == kMbOk && w.size() == 3) {
        for (int n = 1; n <= 8; ++n)
            if (w[0] >> (n - 1) & 1) add(static_cast<uint8_t>(n), n, true);
        for (int n = 1; n <= 8; ++n)
            if (w[1] >> (n - 1) & 1) add(static_cast<uint8_t>(0x20 + n), n, false);
        return;
    }
    kit::LineSettings probe(Port() != nullptr ? Port()->PortModbus() : nullptr, 200, 25, 1);
    uint16_t v = 0;
    for (uint8_t m = 33; m <= 38; ++m)
        if (PlateRead(m, 1, v) == kMbOk) add(m, 0, false);
    for (uint8_t m = 1; m <= 2; ++m)
        if (PlateRead(m, 0, v) == kMbOk) add(m, 0, true);
}

bool CQMUDevice::ModuleScan() {
    kit::LineSettings settings(Port() != nullptr ? Port()->PortModbus() : nullptr, 100, 25);
    if (!module_ready_ || NeedsReinit() || GetState() == kStateOffline) {
        module_ready_ = true;
        config_pending_ = false;
        SetErrorCount(0);
        SetState(kStateFound);
        if (CLogFile* log = Log()) log->Info("Инициализация %s", Name().c_str());
        Publish(kAdr, plat::Variant::I4(GetAddress()));
        Publish(kVersionSlot, plat::Variant::I4(version_));
        Publish(kBuildSlot, plat::Variant::I4(build_));
        for (CPlate* p : plates_) p->SetReinit();
        ClearReinit();
        return true;
    }
    CDevice::ExecuteNextWrite();
    for (CPlate* p : plates_) p->ExecuteNextWrite();
    CVariable* t = kit::Var(slots_[kTemperature]);
    if (t != nullptr && t->IsReadDue()) ReadItem(t);
    int read = 0;
    for (CPlate* p : plates_) read += p->Scan();
    if (read == 0) {
        uint8_t status = 0;
        const int code = kit::ClientCall(
            Port() != nullptr ? Port()->PortModbus() : nullptr,
            [&](CModbus& m) { return m.ReadExceptionStatus(GetAddress(), status); });
        kit::CountError(*this, code);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Device operations

int32_t CQMUDevice::SetState(int32_t code) {
    const int32_t was = CDevice::SetState(code);
    for (CPost* p : posts_) p->SetState(code);
    return was;
}

bool CQMUDevice::CanCapture() {
    for (CPost* p : posts_)
        if (!p->CanCapture()) return false;
    return true;
}

void CQMUDevice::Publish(size_t slot, plat::Variant v, uint16_t quality) {
    kit::PublishSlot(slots_[slot], std::move(v), quality);
}

void CQMUDevice::Quality(size_t slot, uint16_t quality) {
    kit::SetSlotQuality(slots_[slot], quality);
}

bool CQMUDevice::UnitInitRead() {
    const bool late = build_ > 63;
    std::vector<uint16_t> w;
    const uint16_t first = late ? 20 : 3, count = late ? 2 : 19;
    const int code = kit::ClientCall(
        Port() != nullptr ? Port()->PortModbus() : nullptr,
        [&](CModbus& m) { return m.ReadHoldingRegisters(GetAddress(), first, count, w); });
    kit::CountError(*this, code);
    if (code != kMbOk || w.size() != count) {
        for (size_t i : {kAirValve, kUss, kSensorWait, kFullUp, kFullDown}) Quality(i, kQualityBad);
        return false;
    }
    auto reg = [&](int r) { return w[static_cast<size_t>(r - first)]; };
    if (!late) {
        Publish(kAirValve, plat::Variant::I4(reg(3)));
        Publish(kUss, plat::Variant::I4(reg(4)));
        Publish(kSensorWait, plat::Variant::I4(reg(5)));
        for (auto [slot, r] : {std::pair{kFullUp, 10}, std::pair{kFullDown, 12}}) {
            std::string text;
            for (int k = 0; k < 2; ++k) {
                text.push_back(static_cast<char>(reg(r + k) >> 8));
                text.push_back(static_cast<char>(reg(r + k) & 0xFF));
            }
            plat::Variant cy;
            const plat::HRESULT hr = plat::VariantChangeType(
                cy, plat::Variant::Str(std::string_view(text)), 0, plat::VT_CY);
            if (plat::Failed(hr)) {
                if (CLogFile* log = Log())
                    log->Warning("%s %X", Name().c_str(), static_cast<unsigned>(hr));
                Publish(slot, plat::Variant(), kQualityBad);
            } else {
                Publish(slot, std::move(cy));
            }
        }
    }
    Publish(kInspector, plat::Variant::I4(static_cast<int32_t>(uint32_t{reg(20)} << 16 | reg(21))));
    return true;
}

// decisions DEV-10
bool CQMUDevice::Init() {
    if (mode_ == 1) {
        SetReinit();
        return ModuleScan();
    }
    config_pending_ = false;
    if (CVariable* t = kit::Var(slots_[kTemperature])) ReadItem(t);
    if (posts_.empty()) return false;
    char text[32];
    std::snprintf(text, sizeof text, "%02X.%04X", version_, build_);
    version_text_ = text;
    SetState(kStateProbed);
    Publish(kAdr, plat::Variant::I4(GetAddress()));
    Publish(kFirmware, plat::Variant::Str(std::string_view(version_text_)));
    Publish(kCountPost, plat::Variant::I4(post_count_));
    bool ok = true;
    if (limited_ == 0) {
        if (!UnitInitRead()) return false;
        if (!ActivatePosts()) {
            if (CLogFile* log = Log())
                log->Error("{0F4B2C6D-8A13-4E59-B7D0-C1E6A9F3B254} %s", Name().c_str());
            ok = false;
        }
    }
    for (CPost* p : posts_) p->SetReinit();
    initialised_ = ok;
    return ok;
}

int CQMUDevice::Scan() {
    CVariable* inspector = kit::Var(slots_[kInspector]);
    if (mode_ == 0 && inspector != nullptr && IntOf(inspector->Value()) != inspector_snapshot_) {
        if (kit::SlotQuality(slots_[kConfiguration]) != kQualityBad)
            Quality(kConfiguration, kQualityBad);
        config_pending_ = false;
    }
    if (mode_ == 1) return ModuleScan() ? 1 : 0;
    if (CLogFile* log = Log()) log->Trace("Scan %s, Pr%d", Name().c_str(), GetState());
    kit::LineSettings settings(Port() != nullptr ? Port()->PortModbus() : nullptr, 150, 25);
    if (!RecreatePosts()) return 1;
    // The bus thread only scans what it makes: until an Init has succeeded, the scan step runs
    // it (the unit's items published, its posts activated).
    if (NeedsReinit() || !initialised_) {
        if (Init()) ClearReinit();
        if (posts_.empty()) {
            plat::Sleep(5);
            return 1;
        }
    }
    ReadItemFromDevice(slots_);
    ExecuteNextWrite();
    CVariable* t = kit::Var(slots_[kTemperature]);
    if (t != nullptr && t->IsReadDue()) ReadItem(t);
    return 1;
}

void CQMUDevice::SetBadQuality() {
    CDevice::SetState(kStateOffline);
    for (CPost* p : posts_) p->SetBadQuality();
    for (CPlate* p : plates_) p->SetBadQuality();
    for (size_t i = 0; i < kSlots; ++i) {
        if (slots_[i].variable == nullptr || kinds_[i].code == 34) continue;
        Quality(i, kit::SlotQuality(slots_[i]) <= 20 ? kQualityBad : 20);
    }
}

bool CQMUDevice::ReadItem(CDeviceItem* item) {
    const int i = kit::FindSlot(slots_, item);
    if (i < 0) return false;
    try {
        switch (kinds_[static_cast<size_t>(i)].code) {
            case kCodeUid: {
                std::vector<uint16_t> w;
                const int code = kit::ClientCall(
                    Port() != nullptr ? Port()->PortModbus() : nullptr,
                    [&](CModbus& m) { return m.ReadHoldingRegisters(GetAddress(), 22, 8, w); });
                kit::CountError(*this, code);
                if (code != kMbOk) {
                    Quality(kUid, kQualityBad);
                    return false;
                }
                std::string text;
                for (uint16_t word : w) {
                    for (uint8_t b :
                         {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)}) {
                        if (b == 0) break;
                        text.push_back(static_cast<char>(b));
                    }
                }
                if (text.size() > 260) text.resize(260);
                Publish(kUid, plat::Variant::Str(plat::BytesToWide(text)));
                return true;
            }
            case kCodeConfiguration:
                if (config_pending_) {
                    Quality(kConfiguration, kit::SlotQuality(slots_[kConfiguration]));
                    return true;
                }
                return StartConfigurator() == 0;
            case kCodeFirmware:
                // Published by Init from the identification; register 0 holds the address.
                Publish(kFirmware, plat::Variant::Str(std::string_view(version_text_)));
                return true;
            default: {
                if (static_cast<size_t>(i) == kCountPost && mode_ == 0) {
                    Publish(kCountPost, plat::Variant::I4(post_count_));
                    return true;
                }
                // One register for a two-byte item: a pair would fold in its neighbour.
                if (kinds_[static_cast<size_t>(i)].size == 2 && item->RawType() == plat::VT_I4) {
                    const uint32_t v = ReadInteger(item->ItemRegister(), 2, 0);
                    if (LastError() == kMbOk)
                        Publish(static_cast<size_t>(i), plat::Variant::I4(static_cast<int32_t>(v)));
                    else
                        Quality(static_cast<size_t>(i), kQualityBad);
                    return LastError() == kMbOk;
                }
                const int code = ReadVariable(
                    *item, static_cast<size_t>(std::max(kinds_[static_cast<size_t>(i)].size, 0)));
                return code == kMbOk;
            }
        }
    } catch (...) {
        if (CLogFile* log = Log())
            log->Error("{7B3E9A41-2C6F-4D18-95E0-A8D4C3B1F267} %s", Name().c_str());
        return false;
    }
}

int CQMUDevice::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    const int i = kit::FindSlot(slots_, item);
    int32_t result = plat::E_FAIL;
    if (i >= 0) {
        const int code = kinds_[static_cast<size_t>(i)].code;
        if (code == kCodeAddress) {
            const int32_t to = IntOf(value);
            if (to < 1 || to > 247) {
                result = plat::E_INVALIDARG;
            } else if (Port() == nullptr || !Port()->IsFreeAddress(static_cast<uint8_t>(to))) {
                result = static_cast<int32_t>(0x80000000u);
            } else {
                const uint8_t from = GetAddress();
                result = WriteInteger(0, to, 2);
                if (result == kMbOk) {
                    // The port moves the address in its free list and its remembered devices,
                    // so the next probe finds this unit, not a second one at the old address.
                    Port()->MoveAddress(from, static_cast<uint8_t>(to));
                    SetAddress(static_cast<uint8_t>(to));
                    for (CPost* p : posts_) {
                        p->SetAddress(static_cast<uint8_t>(to));
                        p->SetState(kStateOffline);
                    }
                    if (log != nullptr)
                        log->Info("{C5E1D7A2-6F34-4B98-8D0E-3A7B2F9C1E46} %d -> %d", from, to);
                }
            }
        } else if (code == kCodeConfiguration) {
            Publish(kConfiguration, value);
            SetWriteResult(id, 0);
            CVariable* inspector = kit::Var(slots_[kInspector]);
            inspector_snapshot_ = inspector != nullptr ? IntOf(inspector->Value()) : -1;
            config_pending_ = true;
            return 1;
        } else if (kinds_[static_cast<size_t>(i)].size == 2) {
            // One register: a pair would overwrite the neighbouring setting.
            plat::Variant n;
            result = plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4))
                         ? plat::OPC_E_RANGE
                         : WriteInteger(item->ItemRegister(), n.lVal, 2);
        } else if (value.vt == plat::VT_BSTR && kinds_[static_cast<size_t>(i)].size > 0) {
            result = WriteString(item->ItemRegister(), plat::WideToBytes(value.bstrVal),
                                 static_cast<size_t>(kinds_[static_cast<size_t>(i)].size));
        } else {
            result = WriteVariant(item->ItemRegister(), value);
        }
        if (result >= 0 && result == kMbOk) {
            if (CVariable* inspector = kit::Var(slots_[kInspector])) inspector->SetUpdateRequest(1);
            ReadItem(item);
        }
    }
    SetWriteResult(id, result);
    if (log != nullptr)
        log->Info("{4E8A2D61-B7C3-4F05-9A1E-D62C8B3F7A90} %d %X", GetAddress(),
                  static_cast<unsigned>(result));
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The configurator

uint32_t CQMUDevice::AnswerTimeout() const {
    auto* line = dynamic_cast<CLocalModbus*>(Port() != nullptr ? Port()->PortModbus() : nullptr);
    return line != nullptr ? line->GetAnswerTimeout() : 0;
}

void CQMUDevice::SetAnswerTimeout(uint32_t ms) {
    auto* line = dynamic_cast<CLocalModbus*>(Port() != nullptr ? Port()->PortModbus() : nullptr);
    if (line != nullptr) line->SetAnswerTimeout(ms);
}

int CQMUDevice::StartConfigurator() {
    if (plat::process::IsRunning(configurator_)) return 0;
    configurator_ = 0;
    auto* line = dynamic_cast<CLocalModbus*>(Port() != nullptr ? Port()->PortModbus() : nullptr);
    const int com = Port() != nullptr ? Port()->PortNumber() : 0;
    const int baud = line != nullptr ? static_cast<int>(line->GetBaud()) : 0;
    const int parity = line != nullptr ? line->GetParity() : 0;
    std::string script;
    auto line_of = [&](const std::string& text) { script += text + "\r\n"; };
    char buf[256];
    line_of("[var]");
    line_of("FILE file1");
    line_of("DEVICE dev1");
    line_of("PORT port");
    line_of("[cmd]");
    std::snprintf(buf, sizeof buf,
                  "OpenPort Port=port;Machine=;PortNum=%d;BaudRate=%d;Parity=%d;Type=3;Access=0;",
                  com, baud, parity);
    line_of(buf);
    std::snprintf(buf, sizeof buf, "Connect Port=port;Address=%d;Device=dev1;Mode=0;",
                  GetAddress());
    line_of(buf);
    line_of("LoadDevice Device=dev1;Mode=7;");
    line_of("SaveOPC Device=dev1;Name=" + parent_name_ + ".Configuration;");
    const std::string program = plat::process::ExeFolder() + "Veskor.exe";
    pid_t pid = 0;
    // decisions DEV-8
    const int rc = plat::process::Spawn(program, {program, "/SILENT", "/CMDLINE=" + script}, pid);
    if (rc != 0) {
        if (CLogFile* log = Log()) log->Error("Veskor.exe %d", rc);
        return rc;
    }
    // Reaped as soon as it ends, not at the next start (which may never come).
    plat::process::Watch(pid);
    configurator_ = pid;
    return 0;
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<CDevice> MakeQmu(IDevicePort* port, const DetectedDevice& found) {
    // Word 0 is the slave id and run indicator; version, build and the option word follow.
    const auto& w = found.id_words;
    const uint32_t ident = w.size() >= 3 ? uint32_t{w[1]} << 16 | w[2] : 0;
    const int32_t option = w.size() >= 4 ? static_cast<int16_t>(w[3]) : -1;
    const int shift = port != nullptr ? port->NameShift() : 0;
    return std::make_unique<CQMUDevice>(port, found.address, Format("QMU%i", shift + found.address),
                                        ident, option);
}

}  // namespace mb
