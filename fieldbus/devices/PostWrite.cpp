// The post's writes and the texts of its exception codes.
#include "fieldbus/devices/Post.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/PostSlots.h"

namespace mb {

using namespace post_detail;

// ---------------------------------------------------------------------------------------------
// Writes

int CPost::WriteState(int32_t state) {
    const int32_t raw = PostStateToRaw(state);
    if (raw < 0) {
        // A state without a raw form must not reach the unit as idle: it would stop a delivery.
        if (CLogFile* log = Log()) log->Warning("{B8EEC641-016B-4dbb-8ECC-D581ACBD9F2A} %i", state);
        return plat::OPC_E_RANGE;
    }
    if (raw != 0 && raw != 16 && raw != 32 && raw != 48) return plat::OPC_E_RANGE;
    const uint16_t now = raw_ & 0xF0;
    if (!free_state_ && ((now == 0 && raw == 32) || (now == 32 && raw == 16)))
        return plat::OPC_E_RANGE;
    const uint16_t word[1] = {static_cast<uint16_t>(raw)};
    return WriteWords(15, word);
}

int CPost::WriteDozeMicro(const plat::Variant& value) {
    plat::Variant d;
    if (plat::Failed(plat::VariantChangeType(d, value, 0, plat::VT_R8))) return plat::OPC_E_RANGE;
    const double whole = std::trunc(d.dblVal);
    if (!(whole >= 1 && whole <= 99)) return plat::OPC_E_RANGE;
    std::vector<uint16_t> w;
    if (ReadWords(9, 1, w) != kMbOk) return kWriteOffline;
    const uint16_t word[1] = {
        static_cast<uint16_t>((w[0] & 0xFF00) | ToBcd(static_cast<uint32_t>(whole)))};
    return WriteWords(9, word);
}

int CPost::WriteText(ItemSlot& slot, const kit::SlotKind& kind, const plat::Variant& value) {
    std::string text;
    if (kind.scaled) {
        plat::Variant d;
        if (plat::Failed(plat::VariantChangeType(d, value, 0, plat::VT_R8)))
            return plat::OPC_E_RANGE;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", d.dblVal * Scale());
        text = PadZeros(buf, static_cast<size_t>(kind.size));
    } else {
        plat::Variant s;
        if (plat::Failed(plat::VariantChangeType(s, value, 0, plat::VT_BSTR)))
            return plat::OPC_E_RANGE;
        text = plat::WideToBytes(s.bstrVal);
    }
    if (text.size() > static_cast<size_t>(kind.size)) return plat::OPC_E_RANGE;
    std::vector<uint16_t> w(static_cast<size_t>(kind.size + 1) / 2, 0);
    for (size_t k = 0; k < text.size(); ++k)
        w[k / 2] |= static_cast<uint16_t>(static_cast<uint8_t>(text[k]) << (k % 2 == 0 ? 8 : 0));
    return WriteWords(static_cast<uint16_t>(slot.reg - channel_ * 256), w);
}

int CPost::WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) {
    CLogFile* log = Log();
    const int found = kit::FindSlot(slots_, item);
    auto report = [&](int32_t result) {
        if (id != 0) SetWriteResult(id, result);
        if (log != nullptr)
            log->Info("WriteItem %s %X", Name().c_str(), static_cast<unsigned>(result));
        return 1;
    };
    if (found < 0) return report(plat::E_FAIL);
    const size_t i = static_cast<size_t>(found);
    ItemSlot& slot = slots_[i];
    const kit::SlotKind& kind = kinds_[i];
    if (!active_ && (IsDose(i) || i == kTopDistanceLim)) {
        held_[i] = value;
        return report(0);
    }
    if (!active_) {
        if (log != nullptr) log->Info("ActPst %s", Name().c_str());
        const uint16_t idle[1] = {0};
        if (WriteWords(15, idle) != kMbOk || !unit_->ActivatePosts() || !active_)
            return report(kWriteLocked);
    }
    if (IsDose(i)) {
        plat::Variant n;
        const plat::HRESULT hr = plat::VariantChangeType(n, value, 0, plat::VT_UI4);
        if (plat::Failed(hr)) {
            if (log != nullptr)
                log->Warning("vDoze VariantChangeType %X)", static_cast<unsigned>(hr));
            return report(plat::OPC_E_RANGE);
        }
        // The whole value: a dose of 65536 + 5 is no dose of 5.
        if (n.ulVal > 1000) return report(plat::OPC_E_RANGE);
        value = plat::Variant::UI4(n.ulVal);
    }
    if ((i == kTopDistance || IsDose(i)) && (raw_ & 0xF0) == 32) return report(kResultCaptured);
    int32_t result;
    switch (kind.code) {
        case kCodeAddress: {
            plat::Variant n;
            if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) || n.lVal < 1 ||
                n.lVal > 65535) {
                result = plat::OPC_E_RANGE;
                break;
            }
            char other[48];
            std::snprintf(other, sizeof other, "Post%d", static_cast<int>(n.lVal));
            const bool flat = Port() != nullptr && Port()->FlatPosts();
            if (kit::HostHasItem(Host(), flat ? std::string(other) : unit_->Name() + "." + other)) {
                result = static_cast<int32_t>(0x80000000u);
                break;
            }
            const uint16_t word[1] = {static_cast<uint16_t>(n.lVal)};
            result = WriteWords(1, word);
            if (result == kMbOk) {
                new_number_ = static_cast<uint16_t>(n.lVal);
                recreate_ = true;
            }
            break;
        }
        case kCodeState: {
            plat::Variant n;
            result = plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4))
                         ? plat::OPC_E_RANGE
                         : WriteState(n.lVal);
            break;
        }
        case kCodeDozeMicro:
            result = WriteDozeMicro(value);
            break;
        case kCodeText:
            result = WriteText(slot, kind, value);
            break;
        case kCodeException: {
            plat::Variant n;
            if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4)) || n.lVal != 0) {
                result = plat::OPC_E_RANGE;
                break;
            }
            const uint16_t word[1] = {0};
            result = WriteWords(248, word);
            break;
        }
        default: {
            plat::Variant n;
            if (plat::Failed(plat::VariantChangeType(n, value, 0, plat::VT_I4))) {
                result = plat::OPC_E_RANGE;
                break;
            }
            const uint32_t u = static_cast<uint32_t>(n.lVal);
            std::vector<uint16_t> words;
            if (kind.size >= 4)
                words = {static_cast<uint16_t>(u >> 16), static_cast<uint16_t>(u)};
            else
                words = {static_cast<uint16_t>(u)};
            result = WriteWords(static_cast<uint16_t>(slot.reg - channel_ * 256), words);
        }
    }
    if (result == kExceptionLocked) result = kWriteLocked;
    if (result == kMbOk && !recreate_) ReadItem(item);
    return report(result);
}

// ---------------------------------------------------------------------------------------------
// Error texts

std::string CPost::DefineErrorText(int32_t value, plat::LCID lcid) {
    if (CLogFile* log = Log()) log->Trace("DefineErrorText  %d", value);
    const uint32_t v = static_cast<uint16_t>(value);
    const plat::LCID lang = lcid;
    auto text = [&](uint32_t id) {
        std::string t;
        if (lang == 0)
            LoadText(id, t);
        else
            LoadText(id, lang, t);
        return t;
    };
    const uint32_t hi = v >> 8, lo = v & 0xFF;
    uint32_t first = 4064;
    bool second_wanted = true;
    if (v > 0x35FF) {
        second_wanted = false;
    } else if (hi == 0) {
        second_wanted = false;
        static const uint32_t low_ids[] = {4062, 4068, 4069, 4070, 4071};
        if (lo <= 4)
            first = low_ids[lo];
        else if (lo >= 16 && lo <= 19)
            first = 4114 + (lo - 16);
    } else if (hi >= 1 && hi <= 5) {
        first = 4087 + (hi - 1);
    } else if (hi >= 8 && hi <= 11) {
        first = 4092 + (hi - 8);
    } else if (hi >= 16 && hi <= 20) {
        first = 4072 + (hi - 16);
    } else if (hi >= 32 && hi <= 37) {
        first = 4077 + (hi - 32);
    } else if (hi >= 48 && hi <= 51) {
        first = 4083 + (hi - 48);
    } else if (hi == 52 || hi == 53) {
        first = 4109 + (hi - 52);
    } else {
        second_wanted = false;
    }
    std::string second;
    if (second_wanted && v >= 0x1000 && v < 0x3300) {
        if (lo == 0)
            second = text(4096);
        else if (lo >= 1 && lo <= 9)
            second = SubstituteNumber(text(4099), lo);
        else if (lo == 128)
            second = text(4097);
        else if (lo == 192)
            second = text(4098);
        else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "0x%.02X", lo);
            second = buf;
        }
    }
    const std::string head = text(first);
    return second.empty() ? head : head + ": " + second;
}

}  // namespace mb
