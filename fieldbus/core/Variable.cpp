#include "fieldbus/core/Variable.h"

#include <cmath>
#include <new>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/StringTable.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"

namespace mb {

namespace {

constexpr uint32_t kPropCanonicalType = 1;
constexpr uint32_t kPropValue = 2;
constexpr uint32_t kPropQuality = 3;
constexpr uint32_t kPropTimestamp = 4;
constexpr uint32_t kPropAccessRights = 5;
constexpr uint32_t kPropScanRate = 6;
constexpr uint32_t kPropUnits = 100;
constexpr uint32_t kPropDescription = 101;
constexpr uint32_t kPropHighRange = 104;
constexpr uint32_t kPropLowRange = 105;
constexpr uint32_t kPropAlarmHelp = 301;
constexpr uint32_t kPropRealHardware = 5000;

const char16_t* PropertyDescription(uint32_t id) {
    switch (id) {
        case kPropCanonicalType:
            return u"Item Canonical DataType";
        case kPropValue:
            return u"Item Value";
        case kPropQuality:
            return u"Item Quality";
        case kPropTimestamp:
            return u"Item Timestamp";
        case kPropAccessRights:
            return u"Item Access Rights";
        case kPropScanRate:
            return u"Server Scan Rate";
        case kPropUnits:
            return u"EU Units";
        case kPropDescription:
            return u"Item Description";
        case kPropHighRange:
            return u"High Instrument Range";
        case kPropLowRange:
            return u"Low Instrument Range";
        case kPropAlarmHelp:
            return u"Alarm Quick Help";
        case kPropRealHardware:
            return u"Real HardWare";
        default:
            return u" ";
    }
}

// Text of one of the library's string-table ids in a locale; empty when it has none there.
// decisions FB-60
plat::WideString LibraryString(uint32_t id, plat::LCID lcid) {
    std::string text;
    if (id == 0 || !LoadText(id, lcid, text)) return {};
    return plat::Utf8ToWide(text);
}

constexpr uint32_t kStringNoAlarmHelp = 4063;

bool IsNaNSample(const plat::Variant& v) {
    return (v.vt == plat::VT_R4 && std::isnan(v.fltVal)) ||
           (v.vt == plat::VT_R8 && std::isnan(v.dblVal));
}

// Types whose value the range test compares as a number.
bool IsRangedNumber(plat::VARTYPE vt) {
    switch (vt) {
        case plat::VT_I2:
        case plat::VT_I4:
        case plat::VT_R4:
        case plat::VT_R8:
        case plat::VT_CY:
        case plat::VT_BOOL:
        case plat::VT_I1:
        case plat::VT_UI1:
        case plat::VT_UI2:
        case plat::VT_UI4:
        case plat::VT_I8:
        case plat::VT_UI8:
        case plat::VT_INT:
        case plat::VT_UINT:
            return true;
        default:
            return false;
    }
}

char16_t* TaskString(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    auto* out = static_cast<char16_t*>(plat::CoTaskMemAlloc((n + 1) * sizeof(char16_t)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i <= n; ++i) out[i] = text[i];
    return out;
}

}  // namespace

CVariable::CVariable(IItemOwner* device, const ItemSlot& slot, CHostCalls host, CLogFile* log)
    : name_(slot.name),
      reg_(slot.reg),
      access_(slot.access),
      raw_type_(slot.raw_type),
      canonical_type_(slot.canonical_type),
      min_interval_ms_(slot.min_interval_ms),
      units_id_(slot.units_id),
      description_id_(slot.description_id),
      alarm_help_(slot.alarm_help),
      quiet_((slot.access & kAccessQuiet) != 0),
      address_(device != nullptr ? int{device->OwnerAddress()} : -1),
      minimum_(slot.minimum),
      maximum_(slot.maximum),
      host_(host.Table()),
      decimals_(slot.decimals),
      device_(device),
      log_(log) {
    properties_ = {{kPropCanonicalType, plat::VT_I2}, {kPropValue, plat::VT_VARIANT},
                   {kPropQuality, plat::VT_I2},       {kPropTimestamp, plat::VT_DATE},
                   {kPropAccessRights, plat::VT_I4},  {kPropScanRate, plat::VT_R4}};
    if (units_id_ != 0) properties_.emplace_back(kPropUnits, plat::VT_BSTR);
    if (description_id_ != 0) properties_.emplace_back(kPropDescription, plat::VT_BSTR);
    if (!std::isnan(maximum_)) properties_.emplace_back(kPropHighRange, plat::VT_R8);
    if (!std::isnan(minimum_)) properties_.emplace_back(kPropLowRange, plat::VT_R8);
    properties_.emplace_back(kPropRealHardware, plat::VT_BOOL);
    if (alarm_help_) properties_.emplace_back(kPropAlarmHelp, plat::VT_BSTR);

    value_ = slot.initial;
    converted_ = value_;
    if (canonical_type_ != plat::VT_EMPTY && canonical_type_ != raw_type_ &&
        plat::Failed(plat::VariantChangeType(converted_, value_, 0, canonical_type_)))
        converted_.Clear();
    time_ = plat::SysClock().UtcNow100ns();
    since_read_.Start();
    if (log_ != nullptr && !quiet_)
        log_->Info("Создание переменной %s %i", name_.c_str(), address_);
}

CVariable::~CVariable() = default;

// --- IUnknown ---------------------------------------------------------------------------------

plat::HRESULT CVariable::QueryInterface(const plat::IID& iid, void** out) {
    if (out == nullptr) return plat::E_POINTER;
    if (iid == plat::IID_IUnknown) {
        *out = static_cast<plat::IUnknown*>(static_cast<IModbusItem*>(this));
        AddRef();
        return plat::S_OK;
    }
    *out = nullptr;
    return plat::E_NOINTERFACE;
}

uint32_t CVariable::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t CVariable::Release() {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

// --- host side ------------------------------------------------------------------------------

plat::HRESULT CVariable::RequestRead() {
    read_requests_.store(2);
    return plat::S_OK;
}

plat::HRESULT CVariable::RequestRefresh() {
    read_requests_.store(2);
    return plat::S_OK;
}

// decisions FB-46, FB-49
plat::HRESULT CVariable::SetUpdateRequest(int32_t flag) {
    if (flag == 1) {
        auto lk = Hold();
        IItemOwner* device = Device();
        // One pending read-back per mark: a second request before the read-back ran would
        // count up a read-back that never happens, and the device would keep its bonus.
        if (device != nullptr && !read_back_.exchange(true)) device->MarkReadBack();
    }
    read_requests_.store(2);
    return plat::S_OK;
}

uint8_t CVariable::Rights() const {
    return access_ == 9 ? uint8_t{3} : static_cast<uint8_t>(access_ & 0x0F);
}

bool CVariable::IsReadOnly() const {
    return (Rights() & 2) == 0;
}

int32_t CVariable::Write(const plat::Variant& value) {
    auto lk = Hold();
    IItemOwner* device = Device();
    CLogFile* log = Log();
    const bool searching = host_.SearchWanted();
    if (device == nullptr || device->OwnerOffline() || searching) {
        // Answered here and now: the caller gets 1117 itself, never an id, so taking one would
        // only hold a registry entry that nobody can ask about.
        if (log != nullptr)
            log->Warning("{C3406E92-C0A0-4ff5-9FFA-B661E4C31963} %s %i", name_.c_str(), 0);
        return kWriteOffline;
    }
    plat::Variant raw;
    const plat::Variant* v = &value;
    if (canonical_type_ != plat::VT_EMPTY && canonical_type_ != raw_type_) {
        plat::HRESULT hr;
        try {
            hr = plat::VariantChangeType(raw, value, 0, raw_type_);
        } catch (const std::bad_alloc&) {
            hr = plat::E_OUTOFMEMORY;
        }
        if (plat::Failed(hr)) {
            if (log != nullptr)
                log->Warning("{D559B50F-268E-4cb1-9DA5-C3E5F4C90E33} %s %i", name_.c_str(),
                             static_cast<int>(hr));
            return plat::E_FAIL;
        }
        v = &raw;
    }
    if (!std::isnan(minimum_) && !std::isnan(maximum_)) {
        bool in_range = true;
        if (IsRangedNumber(v->vt)) {
            plat::Variant d;
            in_range = plat::Succeeded(plat::VariantChangeType(d, *v, 0, plat::VT_R8)) &&
                       d.dblVal >= minimum_ && d.dblVal <= maximum_;
        } else if (v->vt == plat::VT_BSTR) {
            in_range = static_cast<double>(v->bstrVal.size()) <= maximum_;
        }
        // decisions FB-47
        if (!in_range) return plat::OPC_E_RANGE;
    }
    int32_t id = 0;
    // The queue takes the command id only for a write it holds: a refused one has no id.
    const plat::HRESULT hr = device->QueueWrite(this, *v, id);
    if (plat::Failed(hr)) return hr;
    if (log != nullptr)
        log->Info("{1B33DA29-5501-4764-8FBA-41BC158AAC5D} %s %i", name_.c_str(), id);
    return id;
}

plat::HRESULT CVariable::QueryAvailableProperties(uint32_t* count, uint32_t** ids,
                                                  char16_t*** descriptions, plat::VARTYPE** types) {
    if (count == nullptr || ids == nullptr || descriptions == nullptr || types == nullptr)
        return plat::E_INVALIDARG;
    *count = 0;
    *ids = nullptr;
    *descriptions = nullptr;
    *types = nullptr;
    const size_t n = properties_.size();
    auto* out_ids = static_cast<uint32_t*>(plat::CoTaskMemAlloc(n * sizeof(uint32_t)));
    auto* out_types = static_cast<plat::VARTYPE*>(plat::CoTaskMemAlloc(n * sizeof(plat::VARTYPE)));
    auto* out_desc = static_cast<char16_t**>(plat::CoTaskMemAlloc(n * sizeof(char16_t*)));
    bool ok = out_ids != nullptr && out_types != nullptr && out_desc != nullptr;
    for (size_t i = 0; ok && i < n; ++i) {
        out_ids[i] = properties_[i].first;
        out_types[i] = properties_[i].second;
        out_desc[i] = TaskString(PropertyDescription(properties_[i].first));
        if (out_desc[i] == nullptr) {
            for (size_t j = 0; j < i; ++j) plat::CoTaskMemFree(out_desc[j]);
            ok = false;
        }
    }
    if (!ok) {
        plat::CoTaskMemFree(out_ids);
        plat::CoTaskMemFree(out_types);
        plat::CoTaskMemFree(out_desc);
        return plat::E_OUTOFMEMORY;
    }
    {
        auto lk = Hold();
        CLogFile* log = Log();
        if (log != nullptr)
            log->Trace("QueryAvailableProperties %s %i", name_.c_str(), static_cast<int>(n));
    }
    *count = static_cast<uint32_t>(n);
    *ids = out_ids;
    *descriptions = out_desc;
    *types = out_types;
    return plat::S_OK;
}

plat::HRESULT CVariable::GetItemProperties(uint32_t count, const uint32_t* ids, plat::LCID locale,
                                           plat::Variant** values, plat::HRESULT** errors) {
    if (count == 0 || ids == nullptr || values == nullptr || errors == nullptr)
        return plat::E_INVALIDARG;
    *values = nullptr;
    *errors = nullptr;
    auto* out_values =
        static_cast<plat::Variant*>(plat::CoTaskMemAlloc(size_t{count} * sizeof(plat::Variant)));
    auto* out_errors =
        static_cast<plat::HRESULT*>(plat::CoTaskMemAlloc(size_t{count} * sizeof(plat::HRESULT)));
    if (out_values == nullptr || out_errors == nullptr) {
        plat::CoTaskMemFree(out_values);
        plat::CoTaskMemFree(out_errors);
        return plat::E_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < count; ++i) {
        new (&out_values[i]) plat::Variant();
        out_errors[i] = plat::S_OK;
    }

    // A snapshot of the sample; the host is never called under the variable's locks.
    uint16_t quality;
    uint64_t time;
    plat::Variant current;
    bool copied = true;
    {
        std::lock_guard lk(value_lock_);
        quality = quality_;
        time = time_;
        try {
            current = value_;
        } catch (const std::bad_alloc&) {
            copied = false;
        }
    }

    auto lk = Hold();
    IItemOwner* device = Device();
    CLogFile* log = Log();
    if (log != nullptr) {
        log->Trace("GetItemProperties %s %i", name_.c_str(), static_cast<int>(count));
        log->Trace("GetItemProperties LCID %s %i %d", name_.c_str(), static_cast<int>(locale),
                   static_cast<int>(count));
    }
    bool all_ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        plat::Variant& out = out_values[i];
        plat::HRESULT& err = out_errors[i];
        const uint32_t id = ids[i];
        bool offered = false;
        for (const auto& p : properties_) offered = offered || p.first == id;
        if (!offered) {
            err = plat::OPC_E_INVALID_PID;
            all_ok = false;
            continue;
        }
        try {
            switch (id) {
                case kPropCanonicalType:
                    out = plat::Variant::I2(static_cast<int16_t>(
                        canonical_type_ != plat::VT_EMPTY ? canonical_type_ : raw_type_));
                    break;
                case kPropValue:
                    if (copied)
                        out = current;
                    else
                        err = plat::E_FAIL;
                    break;
                case kPropQuality:
                    out = plat::Variant::I2(static_cast<int16_t>(quality));
                    break;
                case kPropTimestamp: {
                    plat::DATE d = 0;
                    if (plat::FileTimeToLocalDate(plat::U64ToFileTime(time), d))
                        out = plat::Variant::Date(d);
                    else
                        err = plat::E_FAIL;
                    break;
                }
                case kPropAccessRights:
                    out = plat::Variant::I4(Rights());
                    break;
                case kPropScanRate:
                    out = plat::Variant::R4(static_cast<float>(min_interval_ms_));
                    break;
                case kPropUnits:
                    out = plat::Variant::Str(LibraryString(units_id_, locale));
                    break;
                case kPropDescription:
                    out = plat::Variant::Str(LibraryString(description_id_, locale));
                    break;
                case kPropHighRange:
                    out = plat::Variant::R8(maximum_);
                    break;
                case kPropLowRange:
                    out = plat::Variant::R8(minimum_);
                    break;
                case kPropAlarmHelp: {
                    std::string text;
                    plat::Variant code;
                    if (quality == kQualityGood && device != nullptr &&
                        plat::Succeeded(plat::VariantChangeType(code, current, 0, plat::VT_I4)))
                        text = device->DefineErrorText(code.lVal, locale);
                    out = text.empty()
                              ? plat::Variant::Str(LibraryString(kStringNoAlarmHelp, locale))
                              : plat::Variant::Str(std::string_view(text));
                    break;
                }
                case kPropRealHardware: {
                    out = plat::Variant::Bool(device != nullptr && device->OnRealLine());
                    break;
                }
                default:
                    err = plat::OPC_E_INVALID_PID;
                    break;
            }
        } catch (...) {
            out.Clear();
            err = plat::E_FAIL;
        }
        all_ok = all_ok && plat::Succeeded(err);
    }
    *values = out_values;
    *errors = out_errors;
    return all_ok ? plat::S_OK : plat::S_FALSE;
}

// --- bus side -------------------------------------------------------------------------------

void CVariable::Round(plat::Variant& v) {
    if (decimals_ < 0 || (raw_type_ != plat::VT_R4 && raw_type_ != plat::VT_R8)) return;
    if (decimals_ > 5) decimals_ = 5;
    // Each floating type in its own precision: reading a double as a float would send garbage.
    // A value too large to scale keeps its digits rather than becoming infinite.
    if (v.vt == plat::VT_R4) {
        const float p = std::pow(10.0f, static_cast<float>(decimals_));
        const float scaled = v.fltVal * p + 0.5f;
        if (std::isfinite(scaled)) v.fltVal = std::floor(scaled) / p;
    } else if (v.vt == plat::VT_R8) {
        const double p = std::pow(10.0, decimals_);
        const double scaled = v.dblVal * p + 0.5;
        if (std::isfinite(scaled)) v.dblVal = std::floor(scaled) / p;
    }
}

void CVariable::SendSample(const plat::Variant& value, uint16_t quality, uint64_t time) {
    // decisions FB-44
    host_.NewSample(handle_.load(), value, quality, plat::U64ToFileTime(time), Log());
}

void CVariable::SendTime(uint64_t time) {
    host_.UpdateTS(handle_.load(), plat::U64ToFileTime(time), Log());
}

void CVariable::NewSample(plat::Variant value, uint16_t quality, uint64_t time, bool force) {
    if (IsNaNSample(value)) quality = kQualityBad;
    bool changed;
    bool sendable = true;
    plat::Variant send;
    {
        std::lock_guard lk(value_lock_);
        changed = force || quality != quality_ || !(value == value_);
        value_ = std::move(value);
        quality_ = quality;
        time_ = time;
        since_read_.Start();
        plat::Variant conv;
        if (canonical_type_ != plat::VT_EMPTY && canonical_type_ != raw_type_) {
            plat::HRESULT hr;
            try {
                hr = plat::VariantChangeType(conv, value_, 0, canonical_type_);
            } catch (const std::bad_alloc&) {
                hr = plat::E_OUTOFMEMORY;
            }
            sendable = plat::Succeeded(hr) && !conv.IsEmpty();
        } else {
            conv = value_;
        }
        if (sendable) {
            Round(conv);
            converted_ = conv;
            send = std::move(conv);
        }
    }
    if (!sendable) {
        // Only the bus thread reaches here, and the device (with its log) outlives it.
        if (log_ != nullptr)
            log_->Warning("{65EC0614-BC15-4426-AB47-EAE644115C97} %s %i", name_.c_str(),
                          static_cast<int>(canonical_type_));
        return;
    }
    // The host is called outside the variable's lock: a host thread holding its item's lock
    // may be waiting for this variable's lock in GetItemProperties.
    if (changed)
        SendSample(send, quality, time);
    else
        SendTime(time);
}

void CVariable::SetQuality(uint16_t quality, uint64_t time) {
    bool same;
    plat::Variant send;
    {
        std::lock_guard lk(value_lock_);
        same = quality == quality_;
        quality_ = quality;
        time_ = time;
        if (!same) send = converted_;
    }
    if (same)
        SendTime(time);
    else
        SendSample(send, quality, time);
}

void CVariable::SendInitialValue() {
    plat::Variant send;
    uint16_t quality;
    uint64_t time;
    {
        std::lock_guard lk(value_lock_);
        send = converted_;
        quality = quality_;
        time = time_;
    }
    // Only the bus thread creates variables, and the device (with its log) outlives them.
    if (log_ != nullptr && !quiet_)
        // decisions FB-48
        log_->Trace("инициализация значения %s %i wQuality %d", name_.c_str(), address_,
                    int{quality});
    SendSample(send, quality, time);
}

bool CVariable::IsReadDue() {
    std::lock_guard lk(value_lock_);
    return since_read_.MsSinceStart() >= static_cast<double>(min_interval_ms_);
}

std::shared_lock<std::shared_mutex> CVariable::Hold() {
    // Once a detach has begun no new call takes the lock, so the detach waits only for the
    // calls already under way, however busily the host calls.
    if (detaching_.load()) return {};
    return std::shared_lock<std::shared_mutex>(device_lock_);
}

// decisions FB-43
void CVariable::DetachDevice() {
    detaching_.store(true);
    std::unique_lock lk(device_lock_);
    device_ = nullptr;
    log_ = nullptr;
}

plat::Variant CVariable::Value() {
    std::lock_guard lk(value_lock_);
    return value_;
}

plat::Variant CVariable::Converted() {
    std::lock_guard lk(value_lock_);
    return converted_;
}

uint16_t CVariable::Quality() {
    std::lock_guard lk(value_lock_);
    return quality_;
}

uint64_t CVariable::Time() {
    std::lock_guard lk(value_lock_);
    return time_;
}

}  // namespace mb
