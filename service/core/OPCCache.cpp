#include "service/core/OPCCache.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/CmdRegistry.h"
#include "service/core/Convert.h"
#include "service/core/Errors.h"
#include "service/core/TxtProt.h"

namespace drv {

namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kGrowSamples = 8;
constexpr int64_t kTrimLead = 6;

// Names compare case-insensitively (ASCII), as clients expect of item ids.
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            unsigned char x = static_cast<unsigned char>(a[i]),
                          y = static_cast<unsigned char>(b[i]);
            if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

std::string CutName(const std::string& s) {
    return std::string(plat::Utf8Truncate(s, kMaxName));
}

std::string ValueText(const Variant& v) {
    if (v.vt == plat::VT_EMPTY) return "<---  UNASSIGNED  --->";
    if (v.vt == plat::VT_NULL) return "<---  NULL  --->";
    return VariantsToText(Values(&v, 1));
}

}  // namespace

// Process-wide namespace state.
class NameSpaceImpl {
  public:
    std::atomic<bool> active{false};
    // Serialises structural changes (add, remove, branch creation).
    std::recursive_mutex structure;
    std::unique_ptr<TSafeIntfArray> table;
    TSyncLock names_lock;
    std::map<std::string, int32_t, NoCaseLess> names;
    // Names that left the namespace keep their id for when they come back.
    // decisions CORE-8
    std::map<std::string, int32_t, NoCaseLess> retired;
    std::atomic<int32_t> next_id{1};
    std::atomic<DATE> start_time{0};
    std::atomic<ItemFactory> branch_factory{&MakeBasicBranch};
    std::atomic<bool> fixed{false};
    std::atomic<bool> addr_space_saved{false};
    std::mutex system_mutex;
    ComPtr<TLeafItem> addr_space_ver;
    ComPtr<TLeafItem> last_critical;
    ComPtr<TLeafItem> last_external;

    static NameSpaceImpl& Get() {
        static NameSpaceImpl ns;
        return ns;
    }

    static void SetIds(TItem& item, int32_t id, int32_t parent, const std::string& full) {
        item.id_ = id;
        item.parent_id_ = parent;
        std::lock_guard<std::mutex> lk(item.name_mutex_);
        item.full_name_ = full;
    }
};

namespace {
NameSpaceImpl& NS() {
    return NameSpaceImpl::Get();
}

bool Wanted(int level) {
    return level >= 2 || level >= ProtocolThreshold();
}

void ProtocolHook(const std::string& text, int level) {
    if (level != PL_CRITICAL && level != PL_EXTERNAL) return;
    ComPtr<TLeafItem> item = LastErrorItem(level);
    if (!item) return;
    item->NewSample(Variant::Str(text), OPC_QUALITY_GOOD, plat::NowLocal());
}

}  // namespace

void ItemLog(int32_t id, const std::string& text, int level, std::string_view key) {
    if (!Wanted(level)) return;
    ProtocolArgs("I", {Variant::I4(id), Variant::Str(text)}, level, key);
}

// --- TItem -----------------------------------------------------------------------------------

TItem::TItem(const std::string& name) : short_name_(CutName(name)) {
    ItemLog(-1, "TItem.Create " + short_name_, PL_INFO);
}

std::string TItem::FullName() const {
    std::lock_guard<std::mutex> lk(name_mutex_);
    return full_name_;
}

void TItem::AddToNS(int32_t parent_id) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load()) throw Exception("AddToNS: the namespace is not running");
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    ComPtr<TItem> keep(this);
    parent_id_ = parent_id;
    std::string full = short_name_;
    if (ComPtr<TItem> parent = GetItem(parent_id)) {
        std::string pf = parent->FullName();
        if (!pf.empty()) full = CutName(pf + "." + short_name_);
    }
    {
        std::lock_guard<std::mutex> nlk(name_mutex_);
        full_name_ = full;
    }
    bool quiet = false;
    if (id_ == -1) {
        int32_t existing = FindItemID(full);
        int32_t id;
        if (existing == -1) {
            WriteGuard g(ns.names_lock);
            auto r = ns.retired.find(full);
            if (r != ns.retired.end()) {
                id = r->second;
                ns.retired.erase(r);
            } else {
                id = ++ns.next_id;
            }
        } else {
            id = existing;
            ItemLog(existing, "AddToNS takes the id of " + full, PL_EXTERNAL);
            ComPtr<TItem> old = GetItem(existing);
            if (old) {
                quiet = IsLeaf() && dynamic_cast<TFastStartItem*>(old.Get()) != nullptr;
                old->RemoveFromNSImpl(true);
            }
        }
        id_ = id;
        WriteGuard g(ns.names_lock);
        ns.retired.erase(full);
        ns.names[full] = id;
    }
    AfterAddToNS();
    ns.table->SetAt(id_, ComPtr<IRef>(static_cast<IRef*>(this)));
    ItemLog(id_, "AddToNS " + full + " P:" + std::to_string(parent_id), PL_INFO);
    if (!quiet && dynamic_cast<TFastStartItem*>(this) == nullptr)
        BumpAddrSpaceVer(AddrSpaceVerItem().Get(), false);
}

void TItem::RemoveFromNS() {
    RemoveFromNSImpl(false);
}

void TItem::RemoveFromNSImpl(bool replacing) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table) return;
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    if (id_ == -1) return;
    ComPtr<TItem> keep(this);
    const int32_t id = id_;
    const std::string full = FullName();
    ItemLog(
        id,
        "RemoveFromNS " + full + " F:" + std::to_string(flag_f) + " B:" + std::to_string(flag_b),
        PL_INFO);
    if (!IsLeaf()) {
        int32_t count = ns.table->Count();
        for (int32_t i = 0; i < count; ++i) {
            ComPtr<TItem> child = GetItem(i);
            if (!child || child.Get() == this || child->ParentID() != id) continue;
            WriteProtocolLine("23EB4B49-7995-4F23-A0BF-9ABEE4F59C38 " + std::to_string(i),
                              PL_CRITICAL);
            child->RemoveFromNSImpl(false);
        }
    }
    const bool placeholder = dynamic_cast<TFastStartItem*>(this) != nullptr;
    if (!replacing && ns.fixed.load() && IsLeaf() && !placeholder &&
        dynamic_cast<TSoftLeafItem*>(this) == nullptr) {
        // The name stays: a placeholder with the same id stands in until the item returns.
        auto ph = New<TFastStartItem>(short_name_);
        TextToItemInfo(*ph, ItemInfoToText(*static_cast<TLeafItem*>(this)));
        NameSpaceImpl::SetIds(*ph, id, parent_id_.load(), full);
        ns.table->SetAt(id, ComPtr<IRef>(static_cast<IRef*>(ph.Get())));
        id_ = -1;
        return;
    }
    ns.table->SetAt(id, nullptr);
    bool name_left = false;
    if (!placeholder) {
        WriteGuard g(ns.names_lock);
        auto it = ns.names.find(full);
        if (it == ns.names.end()) throw Exception("E2E8D476-21A6-46CD-9D6E-356CAA58D9CB");
        if (it->second != id) throw Exception("466858FE-C16E-4DDF-841C-17ED668AF6BE");
        ns.names.erase(it);
        ns.retired[full] = id;
        name_left = true;
    }
    id_ = -1;
    if (name_left) BumpAddrSpaceVer(AddrSpaceVerItem().Get(), false);
}

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

// --- namespace functions -------------------------------------------------------------------

ComPtr<TItem> MakeBasicBranch(const std::string& name) {
    return ComPtr<TItem>(New<TItem>(name).Get());
}

void SetBranchFactory(ItemFactory factory) {
    NS().branch_factory.store(factory ? factory : &MakeBasicBranch);
}

void InitNameSpace() {
    NameSpaceImpl& ns = NS();
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    if (ns.active.load()) return;
    ns.branch_factory.store(&MakeBasicBranch);
    ns.start_time.store(plat::NowLocal());
    if (ns.names_lock.Name().empty()) ns.names_lock.Init("CacheFullNames");
    {
        WriteGuard g(ns.names_lock);
        ns.names.clear();
        ns.retired.clear();
    }
    ChangeRing().Init();
    ns.table = std::make_unique<TSafeIntfArray>("OPCNameSpace");
    ns.next_id.store(1);
    ns.fixed.store(false);
    CmdRegistryInit();
    ns.active.store(true);

    int32_t system = FindOrCreateBranch(-1, "", "System");
    auto ver = New<TSysAddrSpcVerItem>();
    ver->AddToNS(system);
    {
        std::lock_guard<std::mutex> slk(ns.system_mutex);
        ns.addr_space_ver = ComPtr<TLeafItem>(ver.Get());
    }
    auto crit = New<TSysErrStrItem>("LastErrorCritical", PL_CRITICAL);
    crit->AddToNS(system);
    auto ext = New<TSysErrStrItem>("LastErrorExternal", PL_EXTERNAL);
    ext->AddToNS(system);
    {
        std::lock_guard<std::mutex> slk(ns.system_mutex);
        ns.last_critical = ComPtr<TLeafItem>(crit.Get());
        ns.last_external = ComPtr<TLeafItem>(ext.Get());
    }
    SetProtocolHook(&ProtocolHook);
}

void DoneNameSpace() {
    NameSpaceImpl& ns = NS();
    SetProtocolHook(nullptr);
    std::unique_ptr<TSafeIntfArray> table;
    {
        std::lock_guard<std::recursive_mutex> lk(ns.structure);
        if (!ns.active.load()) return;
        ns.active.store(false);
        {
            std::lock_guard<std::mutex> slk(ns.system_mutex);
            ns.addr_space_ver = nullptr;
            ns.last_critical = nullptr;
            ns.last_external = nullptr;
        }
        table = std::move(ns.table);
        WriteGuard g(ns.names_lock);
        ns.names.clear();
        ns.retired.clear();
    }
    table.reset();  // releases every item outside the structure lock
    CmdRegistryDone();
    ChangeRing().Done();
}

bool NameSpaceActive() {
    return NS().active.load();
}

int32_t FindItemID(const std::string& full_name) {
    NameSpaceImpl& ns = NS();
    ReadGuard g(ns.names_lock);
    auto it = ns.names.find(full_name);
    return it == ns.names.end() ? -1 : it->second;
}

int32_t FindLeafID(const std::string& full_name) {
    int32_t id = FindItemID(full_name);
    if (id == -1) return -1;
    ComPtr<TItem> item = GetItem(id);
    return item && item->IsLeaf() ? id : -1;
}

std::string JoinItemName(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "." + name;
}

int32_t FindOrCreateBranch(int32_t parent_id, const std::string& parent_full_name,
                           const std::string& name) {
    NameSpaceImpl& ns = NS();
    std::lock_guard<std::recursive_mutex> lk(ns.structure);
    int32_t id = FindItemID(JoinItemName(parent_full_name, name));
    if (id != -1) return id;
    ComPtr<TItem> branch = ns.branch_factory.load()(name);
    branch->AddToNS(parent_id);
    return branch->ID();
}

ComPtr<TItem> GetItem(int32_t id) {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table || id < 0) return {};
    return ns.table->GetAs<TItem>(id);
}

int32_t GetParentID(int32_t id) {
    ComPtr<TItem> item = GetItem(id);
    return item ? item->ParentID() : -1;
}

std::string GetItemFullName(int32_t id) {
    ComPtr<TItem> item = GetItem(id);
    return item ? item->FullName() : std::string();
}

int32_t ItemTableCount() {
    NameSpaceImpl& ns = NS();
    if (!ns.active.load() || !ns.table) return 0;
    return ns.table->Count();
}

std::vector<std::pair<std::string, int32_t>> ListItemNames() {
    NameSpaceImpl& ns = NS();
    ReadGuard g(ns.names_lock);
    return {ns.names.begin(), ns.names.end()};
}

void BumpAddrSpaceVer(TLeafItem* item, bool flag) {
    NameSpaceImpl& ns = NS();
    ns.addr_space_saved.store(false);
    if (!item) return;
    if (flag && ns.fixed.load()) return;
    WriteGuard g(item->lock_);
    TVQTSample* s = item->NewestLocked();
    int32_t v = s && s->value.vt == plat::VT_I4 ? s->value.lVal : 0;
    item->NewSampleLocked(Variant::I4(v + 1), OPC_QUALITY_GOOD, plat::NowLocal());
}

std::string ItemInfoToText(TLeafItem& leaf) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "VT=%d;AR=%d;DATE=%.8f", leaf.CanonicalType(),
                  leaf.AccessRights(), plat::NowLocal());
    return buf;
}

namespace {
bool ReadInfoField(const std::string& text, const char* key, int& out) {
    std::string k = std::string(key) + "=";
    size_t p = text.find(k);
    if (p == std::string::npos) return false;
    p += k.size();
    size_t e = text.find(';', p);
    std::string v = text.substr(p, e == std::string::npos ? std::string::npos : e - p);
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoi(v);
    return true;
}
}  // namespace

void TextToItemInfo(TLeafItem& leaf, const std::string& text) {
    if (auto* fs = dynamic_cast<TFastStartItem*>(&leaf)) {
        int vt = 0, ar = 0;
        if (ReadInfoField(text, "VT", vt) && vt <= 0xFFFF)
            fs->SetCanonicalType(static_cast<VARTYPE>(vt));
        else
            WriteProtocolLine("TextToItemInfo: bad VT in \"" + text + "\"", PL_EXTERNAL);
        if (ReadInfoField(text, "AR", ar) && ar <= 255)
            fs->SetAccessRights(static_cast<uint8_t>(ar));
        else
            WriteProtocolLine("TextToItemInfo: bad AR in \"" + text + "\"", PL_EXTERNAL);
        leaf.NewSample(Variant(), 0, plat::NowLocal());
    }
}

void RenewStaleSample(TLeafItem& leaf) {
    // Its age on the monotonic clock: a wall clock put back would hold an old error for as
    // long as the step.
    // decisions CORE-53
    if (plat::GetTickCount64() - leaf.UpdateTick() > 60000)
        leaf.NewSample(Variant::Str(std::string()), OPC_QUALITY_GOOD, plat::NowLocal());
}

void SetFixedAddressSpace(bool on) {
    NS().fixed.store(on);
}
bool FixedAddressSpace() {
    return NS().fixed.load();
}
std::atomic<bool>& AddrSpaceSaved() {
    return NS().addr_space_saved;
}
DATE ServerStartTime() {
    return NS().start_time.load();
}

ComPtr<TLeafItem> AddrSpaceVerItem() {
    std::lock_guard<std::mutex> lk(NS().system_mutex);
    return NS().addr_space_ver;
}

ComPtr<TLeafItem> LastErrorItem(int level) {
    std::lock_guard<std::mutex> lk(NS().system_mutex);
    if (level == PL_CRITICAL) return NS().last_critical;
    if (level == PL_EXTERNAL) return NS().last_external;
    return {};
}

}  // namespace drv
