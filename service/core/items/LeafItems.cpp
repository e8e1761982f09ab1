#include "service/core/items/ItemTree.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

constexpr size_t kGrowSamples = 8;
constexpr int64_t kTrimLead = 6;

std::string ValueText(const Variant& v) {
    if (v.vt == plat::VT_EMPTY) return "<---  UNASSIGNED  --->";
    if (v.vt == plat::VT_NULL) return "<---  NULL  --->";
    return VariantsToText(Values(&v, 1));
}

bool Wanted(int level) {
    return level >= 2 || level >= ProtocolThreshold();
}

}  // namespace

// --- TLeafItem -------------------------------------------------------------------------------

TLeafItem::TLeafItem(const std::string& name, VARTYPE canonical)
    : TItem(name), canonical_vt_(canonical), lock_(short_name_) {}

void TLeafItem::Changed(const Variant& value) {
    (void)value;
    int32_t id = id_.load();
    if (id >= 0) ChangeRing().Push(id);
}

DATE TLeafItem::GetTimestamp() {
    ReadGuard g(lock_);
    if (next_ > shift_) return samples_[static_cast<size_t>(next_ - 1 - shift_)].update_time;
    return ServerStartTime();
}

void TLeafItem::RequestRefresh() {
    {
        WriteGuard g(lock_);
        notify_pending_ = 1;
    }
    Touch(1);
}

HRESULT TLeafItem::Write(const Variant&, int, int, LCID) {
    return plat::E_NOTIMPL;
}

std::vector<PropertyInfo> TLeafItem::AvailableProperties() {
    return {
        {PROP_CDT, "Item Canonical DataType", plat::VT_I2},
        {PROP_VALUE, "Item Value", CanonicalType()},
        {PROP_QUALITY, "Item Quality", plat::VT_I2},
        {PROP_TIME, "Item Timestamp", plat::VT_DATE},
        {PROP_RIGHTS, "Item Access Rights", plat::VT_I4},
        {PROP_SCANRATE, "Server Scan Rate", plat::VT_R4},
        {PROP_DESC, "Item description", plat::VT_BSTR},
    };
}

HRESULT TLeafItem::GetItemProperty(uint32_t id, LCID locale, Variant& out) {
    out.Clear();
    switch (id) {
        case PROP_CDT:
            out = Variant::I4(CanonicalType());
            return plat::S_OK;
        case PROP_VALUE:
            out = PeekValue();
            return plat::S_OK;
        case PROP_QUALITY: {
            ReadGuard g(lock_);
            uint16_t q =
                next_ > shift_ ? samples_[static_cast<size_t>(next_ - 1 - shift_)].quality : 0;
            out = Variant::I4(q);
            return plat::S_OK;
        }
        case PROP_TIME:
            out = Variant::Date(GetTimestamp());
            return plat::S_OK;
        case PROP_RIGHTS:
            out = Variant::I4(AccessRights());
            return plat::S_OK;
        case PROP_SCANRATE:
            out = Variant::Cy(plat::Currency{100 * 10000});
            return plat::S_OK;
        case PROP_DESC:
            if (locale == plat::LOCALE_EN_US)
                out = Variant::Str(DescriptionEn());
            else if (locale == plat::LOCALE_RU_RU)
                out = Variant::Str(DescriptionRu());
            else
                out = Variant::Str(std::string());
            return plat::S_OK;
        default:
            return plat::OPC_E_INVALID_PID;
    }
}

HRESULT TLeafItem::QueryAvailableProperties(uint32_t& count, uint32_t*& ids,
                                            char16_t**& descriptions, VARTYPE*& types) {
    std::vector<PropertyInfo> props = AvailableProperties();
    count = 0;
    ids = nullptr;
    descriptions = nullptr;
    types = nullptr;
    try {
        ids = static_cast<uint32_t*>(CoTaskMemAllocZero(props.size() * sizeof(uint32_t)));
        descriptions =
            static_cast<char16_t**>(CoTaskMemAllocZero(props.size() * sizeof(char16_t*)));
        types = static_cast<VARTYPE*>(CoTaskMemAllocZero(props.size() * sizeof(VARTYPE)));
        for (size_t i = 0; i < props.size(); ++i) {
            ids[i] = props[i].id;
            types[i] = props[i].vt;
            descriptions[i] = StrToCoTaskMemW(props[i].description);
        }
    } catch (const EOutOfMemory&) {
        if (descriptions)
            for (size_t i = 0; i < props.size(); ++i) plat::CoTaskMemFree(descriptions[i]);
        CoTaskMemFreeAndNil(ids);
        CoTaskMemFreeAndNil(descriptions);
        CoTaskMemFreeAndNil(types);
        return plat::E_OUTOFMEMORY;
    }
    count = static_cast<uint32_t>(props.size());
    return plat::S_OK;
}

Variant* AllocVariantArray(size_t count) {
    auto* p = static_cast<Variant*>(plat::CoTaskMemAlloc(count ? count * sizeof(Variant) : 1));
    if (!p) return nullptr;
    for (size_t i = 0; i < count; ++i) new (&p[i]) Variant();
    return p;
}

void FreeVariantArray(Variant*& p, size_t count) {
    if (!p) return;
    for (size_t i = 0; i < count; ++i) p[i].~Variant();
    plat::CoTaskMemFree(p);
    p = nullptr;
}

HRESULT TLeafItem::GetItemProperties(uint32_t count, const uint32_t* ids, LCID locale,
                                     Variant*& values, HRESULT*& errors) {
    values = AllocVariantArray(count);
    errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(count ? count * sizeof(HRESULT) : 1));
    if (!values || !errors) {
        FreeVariantArray(values, count);
        plat::CoTaskMemFree(errors);
        errors = nullptr;
        return plat::E_OUTOFMEMORY;
    }
    HRESULT result = plat::S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        errors[i] = GetItemProperty(ids[i], locale, values[i]);
        if (plat::Failed(errors[i])) {
            values[i].Clear();
            result = plat::S_FALSE;
        }
    }
    return result;
}

TVQTSample* TLeafItem::NewestLocked() {
    if (next_ <= shift_) return nullptr;
    return &samples_[static_cast<size_t>(next_ - 1 - shift_)];
}

void TLeafItem::EnsureSlot(int64_t n) {
    size_t i = static_cast<size_t>(n - shift_);
    if (i >= samples_.size()) samples_.resize(i + kGrowSamples);
}

void TLeafItem::NewSample(const Variant& value, uint16_t quality, DATE time) {
    {
        WriteGuard g(lock_);
        NewSampleLocked(value, quality, time);
    }
    AfterSample();
}

void TLeafItem::NewSampleLocked(const Variant& value, uint16_t quality, DATE time) {
    EnsureSlot(next_);
    if (Wanted(PL_DETAIL))
        ItemLog(id_.load(), "NewSmpl " + std::to_string(next_) + " " + ValueText(value), PL_DETAIL);
    TVQTSample& s = samples_[static_cast<size_t>(next_ - shift_)];
    ++next_;
    s.value = value;
    s.quality = quality;
    s.source_time = time;
    s.update_time = time;
    update_tick_ = plat::GetTickCount64();
    Changed(value);
    // Without this a leaf that no group reads would keep every sample it ever had.
    TrimLocked();
}

void TLeafItem::SetLastTimestamp(DATE time) {
    {
        WriteGuard g(lock_);
        SetLastTimestampLocked(time);
    }
    AfterSample();
}

void TLeafItem::SetLastTimestampLocked(DATE time) {
    TVQTSample* s = NewestLocked();
    if (!s) throw Exception("6295EA74-0F53-4AEE-86C5-C512EB718030");
    s->update_time = time;
    update_tick_ = plat::GetTickCount64();
    if (notify_pending_) {
        notify_pending_ = 0;
        Changed(s->value);
    }
}

uint64_t TLeafItem::UpdateTick() {
    ReadGuard g(lock_);
    return update_tick_;
}

void TLeafItem::SetLastTimestampFT(const FILETIME& utc) {
    SetLastTimestamp(FileTimeToDateTimeLocal(utc));
}

HRESULT TLeafItem::ReadCurrent(VARTYPE requested, LCID locale, Variant& value, uint16_t& quality,
                               FILETIME& time) {
    ReadGuard g(lock_);
    TVQTSample* s = NewestLocked();
    if (!s) {
        value.Clear();
        quality = 0;
        time = DateTimeToFileTimeUTC(ServerStartTime());
        return plat::S_OK;
    }
    time = DateTimeToFileTimeUTC(s->update_time);
    quality = s->quality;
    return VariantToVarType(s->value, requested, value, locale, quality);
}

Variant TLeafItem::ReadValue() {
    Variant v = PeekValue();
    Touch(0);
    return v;
}

Variant TLeafItem::PeekValue(bool* good) {
    ReadGuard g(lock_);
    TVQTSample* s = NewestLocked();
    if (good) *good = s && s->quality == OPC_QUALITY_GOOD;
    return s ? s->value : Variant();
}

Variant TLeafItem::GetValueAndTime(DATE& time, bool& good) {
    ReadGuard g(lock_);
    TVQTSample* s = NewestLocked();
    good = s && s->quality == OPC_QUALITY_GOOD;
    time = s ? s->update_time : 0;
    return s ? s->value : Variant();
}

HRESULT TLeafItem::WriteChecked(const Variant& value, int client_privilege, int flag, LCID locale) {
    VARTYPE vt = value.vt;
    bool ok = (vt >= 2 && vt <= 6) || vt == 8 || vt == 11 || (vt >= 16 && vt <= 21);
    if (!ok) return plat::DISP_E_TYPEMISMATCH;
    return Write(value, client_privilege, flag, locale);
}

int TLeafItem::GetRealHardware() {
    Variant v;
    if (plat::Failed(GetItemProperty(PROP_REAL_HARDWARE, plat::LOCALE_EN_US, v))) return 0;
    Variant b;
    if (plat::Failed(plat::VariantChangeType(b, v, 0, plat::VT_BOOL))) return 0;
    return b.boolVal ? 2 : 1;
}

void TLeafItem::CheckRefsLocked() {
    uint64_t sum = 0;
    for (const auto& s : samples_) sum += s.cursor_refs;
    if (sum != total_refs_) throw Exception("C72EF162-16A3-4200-9376-61CD4532D98B");
}

void TLeafItem::TrimLocked() {
    int64_t present = next_ - shift_;
    if (present <= kTrimLead) return;
    int64_t lead = 0;
    while (lead < present && samples_[static_cast<size_t>(lead)].cursor_refs == 0) ++lead;
    if (lead <= kTrimLead) return;
    int64_t drop = std::min(lead, present - 1);  // never the newest
    CheckRefsLocked();
    samples_.erase(samples_.begin(), samples_.begin() + drop);
    shift_ += drop;
    CheckRefsLocked();
}

int64_t TLeafItem::AcquireNewest() {
    WriteGuard g(lock_);
    int64_t n = next_ > shift_ ? next_ - 1 : next_;
    if (shift_ > n)
        throw Exception(SafeFormat("9310AE45-BC51-49BA-9E7E-0E1A59C64901 Sh:%d NP:%d",
                                   {Variant::I8(shift_), Variant::I8(next_)}));
    EnsureSlot(n);
    ++samples_[static_cast<size_t>(n - shift_)].cursor_refs;
    ++total_refs_;
    return n;
}

void TLeafItem::AcquireAt(int64_t n) {
    WriteGuard g(lock_);
    if (n < shift_ || n > next_)
        throw Exception(
            SafeFormat("A10B864D-886C-42D7-82D1-7C8ED0EA0883 ID%d Sh%d NP%d",
                       {Variant::I4(id_.load()), Variant::I8(shift_), Variant::I8(next_)}));
    EnsureSlot(n);
    ++samples_[static_cast<size_t>(n - shift_)].cursor_refs;
    ++total_refs_;
}

void TLeafItem::ReleaseCursor(int64_t n) {
    WriteGuard g(lock_);
    if (n < shift_ || n > next_) throw Exception("5A6A9948-993E-4C87-AF8C-BE21C688FE94");
    size_t i = static_cast<size_t>(n - shift_);
    if (i >= samples_.size()) throw Exception("D4EE18BD-C34E-41C3-859F-AD729889412C");
    if (samples_[i].cursor_refs == 0 || total_refs_ == 0)
        throw Exception("113413EE-BB4B-409E-B054-908F871B4F1C");
    --samples_[i].cursor_refs;
    --total_refs_;
    TrimLocked();
}

void TLeafItem::MoveCursor(int64_t from, int64_t to) {
    WriteGuard g(lock_);
    AcquireAt(to);
    if (from != -1) ReleaseCursor(from);
}

int64_t TLeafItem::Shift() {
    ReadGuard g(lock_);
    return shift_;
}
int64_t TLeafItem::NextSample() {
    ReadGuard g(lock_);
    return next_;
}
size_t TLeafItem::SampleSlots() {
    ReadGuard g(lock_);
    return samples_.size();
}
uint32_t TLeafItem::TotalRefs() {
    ReadGuard g(lock_);
    return total_refs_;
}

void TLeafItem::ReadSamples(TGItem& h, bool flag, LCID locale, std::vector<SampleRead>& out,
                            int& counter, bool& bad_quality) {
    ReadGuard g(lock_);
    const bool buffered = h.count_to_read != -1 && flag;
    const int count = buffered ? h.count_to_read : 1;
    h.pending_ = buffered ? h.cursor_ + count : next_;
    const std::string name = FullName();
    for (int k = 0; k < count; ++k) {
        SampleRead r;
        r.client_handle = h.client_handle;
        int64_t n = buffered ? h.cursor_ + k : next_ - 1;
        if (!buffered && next_ <= shift_) {
            // Nothing sampled yet: the cache answers empty and bad, like a current read.
            r.time = DateTimeToFileTimeUTC(ServerStartTime());
            r.quality = 0;
            out.push_back(std::move(r));
            bad_quality = true;
            continue;
        }
        if (n < shift_ || n >= next_) throw Exception("5D173184-6A5B-4AFB-B0D5-C22256EF04EA");
        const TVQTSample& s = samples_[static_cast<size_t>(n - shift_)];
        r.time = DateTimeToFileTimeUTC(h.timestamp_control ? s.source_time : s.update_time);
        r.quality = s.quality;
        r.error = VariantToVarType(s.value, h.requested_type, r.value, locale, r.quality);
        if ((r.quality & 0xC0) != 0xC0) {
            if (Wanted(PL_INFO))
                WriteProtocolLine(
                    "Bad qual " + name + " " + std::to_string(r.quality) + " " + ValueText(s.value),
                    PL_INFO);
            bad_quality = true;
        } else if (Wanted(PL_DETAIL)) {
            WriteProtocolLine("Good " + name + " " + ValueText(s.value), PL_DETAIL);
        }
        out.push_back(std::move(r));
    }
    counter += count;
}

// --- system and placeholder leaves -------------------------------------------------------

TSysAddrSpcVerItem::TSysAddrSpcVerItem() : TSoftLeafItem("AddrSpaceVer", plat::VT_I4) {
    NewSample(Variant::I4(0), OPC_QUALITY_GOOD, plat::NowLocal());
}
std::string TSysAddrSpcVerItem::DescriptionRu() {
    return "Счетчик изменений адресного пространства в текущей сессии";
}
std::string TSysAddrSpcVerItem::DescriptionEn() {
    return "Address space changes counter";
}

TSysErrStrItem::TSysErrStrItem(const std::string& name, int level)
    : TSoftLeafItem(name, plat::VT_BSTR), level_(level) {
    NewSample(Variant::Str(std::string()), OPC_QUALITY_GOOD, plat::NowLocal());
}
std::string TSysErrStrItem::DescriptionRu() {
    return level_ == PL_CRITICAL
               ? "Последняя внутренняя критическая ошибка"
               : "Последняя ошибка полевых контроллеров, оборудования или клиентского ПО";
}
std::string TSysErrStrItem::DescriptionEn() {
    return level_ == PL_CRITICAL
               ? "Last internal critical error"
               : "Last error on field controllers, hardware or client applications";
}

TFastStartItem::TFastStartItem(const std::string& name) : TLeafItem(name, plat::VT_EMPTY) {}

HRESULT TFastStartItem::GetItemProperty(uint32_t id, LCID locale, Variant& out) {
    if (id == PROP_REAL_HARDWARE) {
        out = Variant::Bool(true);
        return plat::S_OK;
    }
    return TLeafItem::GetItemProperty(id, locale, out);
}

// --- TGItem --------------------------------------------------------------------------------

TGItem::TGItem(ComPtr<TLeafItem> leaf, const std::string& item_name, int32_t item_id)
    : id(item_id), name(item_name), leaf_(std::move(leaf)) {
    if (leaf_) real_hardware = static_cast<uint8_t>(leaf_->GetRealHardware());
}

TGItem* TGItem::CreateCopy(const TGItem& o) {
    auto* c = new TGItem(o.leaf_, o.name, o.id);
    c->buffer_enable = o.buffer_enable;
    c->timestamp_control = o.timestamp_control;
    c->real_hardware = o.real_hardware;
    c->client_handle = o.client_handle;
    c->requested_type = o.requested_type;
    c->active = o.active;
    c->count_to_read = o.count_to_read;
    return c;
}

TGItem::~TGItem() {
    try {
        ReleaseHeld();
    } catch (...) {
        ProtocolCurrentException("TGItem.Destroy");
    }
}

void TGItem::ReleaseHeld() {
    if (leaf_ && cursor_ != -1) leaf_->ReleaseCursor(cursor_);
    cursor_ = -1;
    pending_ = -1;
    leaf_ = nullptr;
}

ComPtr<TLeafItem> TGItem::GetLeaf(bool resolve, bool flag) {
    (void)flag;
    if (resolve && leaf_ && leaf_->ID() == -1) {
        // The leaf left the namespace: deliver what is unread, then let go of it.
        bool unread = cursor_ != -1 && leaf_->NextSample() - cursor_ > 0;
        if (!unread) ReleaseHeld();
    }
    if (resolve && !leaf_) Resolve();
    return leaf_;
}

void TGItem::Resolve() {
    uint32_t now = plat::GetTickCount();
    if (retry_armed_) {
        uint32_t ahead = plat::TickDiff(retry_tick_, now);
        if (ahead > 0 && ahead <= 30000) return;
    }
    id = -1;
    int32_t found = FindLeafID(name);
    if (found == -1) return;
    ComPtr<TLeafItem> leaf = GetItemAs<TLeafItem>(found);
    if (leaf) {
        int kind = leaf->GetRealHardware();
        if (real_hardware == 0 || kind == real_hardware) {
            id = found;
            real_hardware = static_cast<uint8_t>(kind);
            leaf_ = leaf;
            lost = 0;
        }
    }
    retry_tick_ = now + 5000;
    retry_armed_ = true;
}

int TGItem::UnreadCount(bool flag) {
    ComPtr<TLeafItem> leaf = GetLeaf(true, flag);
    if (!leaf) return flag && active && !lost ? 1 : 0;
    int64_t n;
    {
        WriteGuard g(leaf->Lock());
        if (cursor_ == -1) cursor_ = leaf->AcquireNewest();
        n = leaf->NextSample() - cursor_;
        if (n >= 1 && !(flag && active)) {
            // Consumed unreported: the cursor's sample reference moves with it.
            leaf->MoveCursor(cursor_, cursor_ + n);
            cursor_ += n;
            pending_ = cursor_;
            n = 0;
        }
    }
    if (flag && active) leaf->Touch(0);
    return static_cast<int>(std::min<int64_t>(n, INT32_MAX));
}

void TGItem::CommitCursor() {
    if (!leaf_ || pending_ == -1 || pending_ == cursor_) return;
    leaf_->MoveCursor(cursor_, pending_);
    cursor_ = pending_;
}

void TGItem::Read(bool flag, LCID locale, std::vector<SampleRead>& out, int& counter,
                  bool& bad_quality) {
    ComPtr<TLeafItem> leaf = GetLeaf(true, flag);
    if (!leaf) {
        SampleRead r;
        r.client_handle = client_handle;
        r.time = GetNowFileTime();
        r.quality = 0;
        r.error = plat::E_FAIL;
        out.push_back(std::move(r));
        ++counter;
        lost = 1;
        return;
    }
    if (cursor_ == -1) cursor_ = leaf->AcquireNewest();
    leaf->ReadSamples(*this, flag, locale, out, counter, bad_quality);
}

void TGItem::ReadNull(std::vector<SampleRead>& out, int& counter) {
    SampleRead r;
    r.client_handle = 0;
    r.time = GetNowFileTime();
    r.quality = OPC_QUALITY_OUT_OF_SERVICE;
    r.error = plat::E_FAIL;
    out.push_back(std::move(r));
    ++counter;
}

SampleRead TGItem::ReadTyped(LCID locale, TypedValue& typed, int& counter, bool& bad_quality) {
    std::vector<SampleRead> out;
    int32_t saved = count_to_read;
    count_to_read = -1;
    Read(false, locale, out, counter, bad_quality);
    count_to_read = saved;
    SampleRead r = out.empty() ? SampleRead{} : out.back();
    typed = TypedValue{};
    typed.vt = r.value.vt;
    switch (r.value.vt) {
        case plat::VT_I2:
        case plat::VT_UI2:
            typed.i2 = r.value.iVal;
            break;
        case plat::VT_I4:
        case plat::VT_ERROR:
        case plat::VT_UI4:
        case plat::VT_INT:
        case plat::VT_UINT:
            typed.i4 = r.value.lVal;
            break;
        case plat::VT_R4:
            typed.r4 = r.value.fltVal;
            break;
        case plat::VT_R8:
            typed.r8 = r.value.dblVal;
            break;
        case plat::VT_DATE:
            typed.r8 = r.value.date;
            break;
        case plat::VT_CY:
            typed.cy = r.value.cyVal;
            break;
        case plat::VT_BOOL:
            typed.boolean = r.value.boolVal;
            break;
        case plat::VT_I1:
        case plat::VT_UI1:
            typed.byte = r.value.bVal;
            break;
        default:
            WriteProtocolLine("12ED4D51-DD92-4E14-B870-43B680791F12 " + std::to_string(r.value.vt),
                              PL_EXTERNAL);
            break;
    }
    return r;
}

}  // namespace drv
