#include "fieldbus/devices/Plate.h"

#include <cstdio>

#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

CPlate::CPlate(CControlUnit* unit, uint8_t module, int place, bool output)
    : CDevice(module, unit->Port()), unit_(unit), place_(place), output_(output) {
    char buf[48];
    std::snprintf(buf, sizeof buf, output ? "PlateOut%d" : "PlateIn%d", module & 0xF);
    log_name_ = buf;
    SetName(log_name_);
    const int channels = output ? 4 : 6;
    branches_.assign(static_cast<size_t>(channels), -1);
    for (int n = 1; n <= channels; ++n) {
        std::snprintf(buf, sizeof buf, output ? "Output%d_%d" : "Input%d_%d", module & 0xF, n);
        const std::string branch = unit->Name() + "." + buf;
        branches_[static_cast<size_t>(n - 1)] = kit::FindOrCreateBranchPath(Host(), branch);
        if (output) {
            ItemSlot& state = slots_[static_cast<size_t>(n)];
            kit::DefineSlot(state, branch, "State", plat::VT_I4, static_cast<uint16_t>(n), 3, 4056);
            kinds_[static_cast<size_t>(n)] = kit::SlotKind{kCodePlateOutState, 2, false};
            ItemSlot& over = slots_[static_cast<size_t>(n + 4)];
            kit::DefineSlot(over, branch, "Overload", plat::VT_BOOL, 0, 3, 4059);
            over.min_interval_ms = 0;
            kinds_[static_cast<size_t>(n + 4)] = kit::SlotKind{kCodePlateOverload, 2, false};
        } else {
            ItemSlot& in = slots_[static_cast<size_t>(n - 1)];
            kit::DefineSlot(in, branch, "State", plat::VT_BOOL, 0, 1, 4060);
            in.min_interval_ms = 0;
            kinds_[static_cast<size_t>(n - 1)] = kit::SlotKind{kCodePlateInput, 2, false};
        }
    }
    CreateVariables(slots_);
}

CPlate::~CPlate() {
    DestroyVariables(slots_);
    for (int32_t h : branches_)
        if (h >= 0) Host().ItemDestroy(h);
    if (CLogFile* log = Log())
        log->Info(output_ ? "{0739D916-CFD6-4d0f-B044-094E3FC450DA}  %s"
                          : "{7070BCB4-36E3-4f29-912C-D67A81DE841A}  %s",
                  log_name_.c_str());
}

int CPlate::ReadRegister0(uint16_t& value) {
    const int code = unit_->PlateRead(GetAddress(), 0, value);
    kit::CountError(*this, code);
    if (code == kMbOk) SetErrorCount(0);
    return code;
}

void CPlate::PublishAll(uint16_t word) {
    if (output_) {
        for (size_t n = 1; n <= 4; ++n) {
            kit::PublishSlot(slots_[n + 4], plat::Variant::Bool((word >> (n - 1) & 1) != 0));
            kit::PublishSlot(slots_[n], plat::Variant::I4(word >> (8 + n - 1) & 1));
        }
    } else {
        for (size_t n = 0; n < 6; ++n)
            kit::PublishSlot(slots_[n], plat::Variant::Bool((word >> n & 1) != 0));
    }
}

void CPlate::BadAll() {
    for (size_t i = output_ ? 1 : 0; i < (output_ ? 9u : 6u); ++i)
        kit::SetSlotQuality(slots_[i], kQualityBad);
}

bool CPlate::ReadItem(CDeviceItem* item) {
    StampContact();
    const int i = kit::FindSlot(slots_, item);
    if (i < 0) return false;
    const int code = kinds_[static_cast<size_t>(i)].code;
    if (code != kCodePlateInput && code != kCodePlateOutState && code != kCodePlateOverload)
        return ReadVariable(*item) == kMbOk;
    uint16_t word = 0;
    const int rc = ReadRegister0(word);
    if (rc == kMbOk)
        PublishAll(word);
    else
        BadAll();
    if (CVariable* v = kit::Var(slots_[static_cast<size_t>(i)]))
        v->SetReadRequests(std::max(0, v->ReadRequests() - 1));
    return rc == kMbOk;
}

bool CPlate::Init() {
    SetErrorCount(0);
    try {
        return ReadItem(slots_[output_ ? 1 : 0].variable);
    } catch (...) {
        if (CLogFile* log = Log())
            log->Warning(output_ ? "{901A1BD9-7D7E-4345-8D38-B1F4C58C207E}"
                                 : "{A5759C4A-5347-4616-BC40-30B7493429AC}");
        return false;
    }
}

int CPlate::Scan() {
    CLogFile* log = Log();
    // decisions DEV-15
    if (log != nullptr) log->Info("Scan %s", log_name_.c_str());
    if (NeedsReinit()) {
        if (Init()) ClearReinit();
        return 0;
    }
    try {
        for (; next_ < kSlots; ++next_) {
            CVariable* v = kit::Var(slots_[next_]);
            if (v == nullptr || v->ReadRequests() <= 0) continue;
            StampContact();
            if (!v->IsReadDue()) continue;
            const bool ok = ReadItem(v);
            ++next_;
            return ok ? 1 : 0;
        }
        next_ = 0;
        return 0;
    } catch (...) {
        if (log != nullptr)
            log->Error(output_ ? "{D82C984A-5168-4757-8FC6-AF8C8ADCEE4D} %s"
                               : "{0EA8DDEE-832B-41e3-8964-B1183CD86883} %s",
                       log_name_.c_str());
        return 0;
    }
}

void CPlate::SetBadQuality() {
    if (CLogFile* log = Log())
        log->Trace(output_ ? "{CF3AB337-CF79-4f58-8A77-6DE32BE2DB7E} %s"
                           : "{EF34CDBD-BB71-4219-BF81-861C0887290B} %s",
                   log_name_.c_str());
    StampContact();
    BadAll();
}

void CPlate::ExecuteNextWrite() {
    // Every item of an input plate is read-only, and the base refuses writes to those; an
    // output plate's writes reach WriteItem.
    CDevice::ExecuteNextWrite();
}

int CPlate::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    const std::string name = item != nullptr ? item->ItemName() : std::string();
    if (log != nullptr) log->Trace("WriteItem %s)", name.c_str());
    const int i = kit::FindSlot(slots_, item);
    if (!output_ || i < 0) return 1;
    int32_t result;
    bool reported = false;
    try {
        plat::Variant n;
        const bool number = plat::Succeeded(plat::VariantChangeType(n, value, 0, plat::VT_I4));
        const int code = kinds_[static_cast<size_t>(i)].code;
        if (code == kCodePlateOutState) {
            // The whole value: 65536 is no "off".
            // decisions DEV-3
            if (!number || n.lVal < 0 || n.lVal > 1) {
                if (log != nullptr)
                    log->Trace("{7062186E-5D66-4f0a-9072-03A8B4102D7D} %s)", name.c_str());
                result = plat::OPC_E_RANGE;
            } else {
                const int rc = unit_->PlateWrite(GetAddress(), item->ItemRegister(),
                                                 static_cast<uint16_t>(n.lVal));
                kit::CountError(*this, rc);
                result = rc == kMbOk ? 0 : kWriteOffline;
            }
        } else if (code == kCodePlateOverload) {
            if (!number || n.lVal != 0) {
                if (log != nullptr)
                    log->Trace("{D96B2DB2-1E7F-47cd-852C-66C395D143AF} %s)", name.c_str());
                result = plat::OPC_E_RANGE;
            } else {
                const int rc = unit_->PlateWrite(GetAddress(), 0, 0);
                kit::CountError(*this, rc);
                result = rc == kMbOk ? 0 : kWriteOffline;
            }
        } else {
            result = WriteVariant(item->ItemRegister(), value);
        }
        if (result >= 0) ReadItem(item);
        SetWriteResult(id, result);
        reported = true;
        if (log != nullptr)
            log->Trace("{04B300E0-26E7-4839-8082-D4E7AFC17D4D} %d %X", GetAddress(),
                       static_cast<unsigned>(result));
    } catch (...) {
        if (log != nullptr)
            log->Error("{911C09F3-48A8-4277-9A63-A90A52A0E64B} %s", log_name_.c_str());
        // The client's command ends with the failure rather than by its time-out.
        if (!reported) SetWriteResult(id, plat::E_FAIL);
    }
    return 1;
}

}  // namespace mb
