#include "service/core/posts/PostItems.h"

#include <cmath>
#include <limits>

#include "fieldbus/core/HostApi.h"
#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string ValueText(const Variant& v) {
    return VariantsToText(Values(&v, 1));
}

bool IsRunningState(int32_t s) {
    return s == tlb::csWaitingKey || s == tlb::csWorking || s == tlb::csPaused;
}
bool IsQuietState(int32_t s) {
    return s == tlb::csIdle || IsRunningState(s);
}

Variant CyOf(int64_t fixed) {
    return Variant::Cy(plat::Currency{fixed});
}

}  // namespace

// --- TMyLeafItem ---------------------------------------------------------------------------

uint8_t TMyLeafItem::LinkQuality() {
    ReadGuard g(lock_);
    return link_quality_;
}

DATE TMyLeafItem::LastChange() {
    ReadGuard g(lock_);
    return last_change_;
}

// --- rounding and priorities -----------------------------------------------------------------

int64_t FixedPointRound(int mode, int64_t step, int64_t value) {
    // A zero step would divide by zero; there is nothing to round to.
    if (step <= 0) return value;
    double q = static_cast<double>(value) / static_cast<double>(step);
    double r = std::round(q);  // halves away from zero
    // Beyond this a multiple of the step no longer fits 64 bits: the value is kept, and the
    // range checks that follow refuse it.
    if (!(std::fabs(r) < 9.0e14)) return value;
    constexpr double kOne = static_cast<double>(kFixedOne);
    int64_t n = static_cast<int64_t>(r * kOne);
    double exact = q * kOne;
    if (mode == 1 && static_cast<double>(n) < exact) n += kFixedOne;
    if (mode == 2 && static_cast<double>(n) > exact) n -= kFixedOne;
    return std::llround(static_cast<double>(n) * static_cast<double>(step) / kOne);
}

bool ComparePollPriority(TPollPriority& best, const TPollPriority& candidate) {
    if (best.kind == 0 || candidate.tick == 0) {
        best = candidate;
        return true;
    }
    if (best.tick == 0) return false;
    // Ages on the monotonic clock: local dates jump with the wall clock and the zone's offset,
    // and a post served "in the future" would wait for as long as the jump.
    // decisions CORE-52
    const uint64_t now = plat::GetTickCount64();
    const bool stations = StationsExist();
    auto score = [&](const TPollPriority& r) {
        double factor = r.factor != 0 && std::isfinite(r.factor) ? r.factor : 1.0;
        const uint64_t tick = r.tick;  // a copy: the record is packed
        const double age = now > tick ? static_cast<double>(now - tick) : 0.0;
        double s = age / RefreshFactor(r.kind, r.column) / factor;
        s *= 1 + r.busy;
        if (!stations) s *= 1 + r.probe;
        if (r.cls < 3) s *= 2;
        return s;
    };
    if (score(candidate) > score(best)) {
        best = candidate;
        return true;
    }
    return false;
}

// --- TCQueue -------------------------------------------------------------------------------

bool TCommand::Expired() const {
    return plat::TickDiff(plat::GetTickCount(), issued_tick.load()) > kCmdTimeoutMs;
}

bool TCommand::IdMayBeReissued() const {
    // The registry takes back an unanswered entry 40 s after issue; the margin covers the
    // moment between the registry's issue tick and this command's.
    return plat::TickDiff(plat::GetTickCount(), issued_tick.load()) >
           kCmdTimeoutMs + kCmdTimeoutMs / 2;
}

int32_t TCQueue::Add(ComPtr<TCommand> command) {
    {
        std::lock_guard lk(lock_);
        if (items_.size() + reserved_ >= kMaxQueued) return plat::E_OUTOFMEMORY;
        ++reserved_;
    }
    // The registry is asked outside the queue's lock: the poll thread must not wait on it.
    int32_t id;
    try {
        id = CmdNewID();
    } catch (...) {
        std::lock_guard lk(lock_);
        --reserved_;
        throw;
    }
    command->id = id;
    command->issued_tick = plat::GetTickCount();
    std::lock_guard lk(lock_);
    --reserved_;
    // A command the registry refused has no id to answer under: nobody could learn its fate.
    if (IsCmdID(id)) items_.push_back(std::move(command));
    return id;
}

// decisions CORE-13
ComPtr<TCommand> TCQueue::Next() {
    current_ = nullptr;
    for (;;) {
        ComPtr<TCommand> cmd;
        {
            std::lock_guard lk(lock_);
            if (items_.empty()) return {};
            cmd = std::move(items_.front());
            items_.pop_front();
        }
        if (!cmd) continue;
        int32_t id = cmd->id.load();
        // A client that did not ask in time is not told otherwise: an expired command stays
        // undone however long it waited here.
        if (cmd->Expired()) {
            if (IsCmdID(id) && !cmd->IdMayBeReissued())
                CmdSetResult(id, mb::HostCode(mb::WriteResult::kTimedOut));
            continue;
        }
        if (CmdIsDead(id)) {
            if (IsCmdID(id)) CmdSetResult(id, mb::HostCode(mb::WriteResult::kTimedOut));
            continue;
        }
        current_ = cmd;
        return cmd;
    }
}

bool TCQueue::HasCommands() {
    std::lock_guard lk(lock_);
    return !items_.empty();
}

void TCQueue::Complete(int32_t result) {
    // Long after its time-out the id may name another client's command: leave it alone.
    if (current_ && IsCmdID(current_->id.load()) && !current_->IdMayBeReissued())
        CmdSetResult(current_->id.load(), result);
    current_ = nullptr;
}

// --- TStateItem ----------------------------------------------------------------------------

TStateItem::TStateItem(int post_number, bool real_hardware)
    : TMyLeafItem("State", plat::VT_UI1),
      post_number_(static_cast<uint16_t>(post_number)),
      real_hardware_(real_hardware),
      state_time_(plat::NowLocal()),
      state_tick_(plat::GetTickCount64()) {}

int32_t TStateItem::GetState() {
    ReadGuard g(lock_);
    return state_;
}

void TStateItem::GetStateAndTime(int32_t& state, DATE& time) {
    ReadGuard g(lock_);
    state = state_;
    time = state_time_;
}

uint64_t TStateItem::StateTick() {
    ReadGuard g(lock_);
    return state_tick_;
}

bool TStateItem::Active() {
    ReadGuard g(lock_);
    return active_ != 0;
}

uint32_t TStateItem::DeadlineTick() {
    ReadGuard g(lock_);
    return deadline_tick_;
}

DATE TStateItem::QuietTime() {
    ReadGuard g(lock_);
    return quiet_time_;
}

bool TStateItem::SetStateValue(int32_t state, DATE time) {
    bool changed;
    {
        WriteGuard g(lock_);
        changed = SetStateValueLocked(state, time);
    }
    AfterSample();
    return changed;
}

bool TStateItem::SetStateValueLocked(int32_t state, DATE time) {
    state_time_ = time;
    state_tick_ = plat::GetTickCount64();
    if (state != state_) {
        state_ = state;
        changed_ = 1;
        ++sample_counter_;
        deadline_tick_ = plat::GetTickCount() + 5000;
        active_ = IsRunningState(state) ? 1 : 0;
        last_change_ = time;
    }
    const bool changed = changed_ != 0;
    if (!changed && link_quality_ == LQ_FRESH && next_ > shift_) {
        SetLastTimestampLocked(time);
    } else {
        link_quality_ = LQ_FRESH;
        NewSampleLocked(Variant::UI1(static_cast<uint8_t>(state)), GetQuality(), time);
    }
    changed_ = 0;
    notify_pending_ = 0;
    if (IsQuietState(state)) quiet_time_ = time;
    return changed;
}

TPollPriority TStateItem::GetPollPriority(uint8_t column) {
    TPollPriority p;
    p.kind = poll_kind.load();
    p.busy = queue_.HasCommands() ? 1 : 0;
    p.cls = 4;
    {
        ReadGuard g(lock_);
        p.tick = state_tick_;
    }
    p.column = column;
    p.factor = 1.0;
    return p;
}

uint16_t TStateItem::GetQuality() {
    // Called with or without the lock held: the lock is re-entrant for readers inside a writer.
    ReadGuard g(lock_);
    switch (link_quality_) {
        case LQ_INVALID:
            return 20;
        case LQ_KEPT:
            return 68;
        case LQ_FRESH:
            return OPC_QUALITY_GOOD;
        default:
            return OPC_QUALITY_OUT_OF_SERVICE;
    }
}

HRESULT TStateItem::Write(const Variant& value, int client_privilege, int flag, LCID locale) {
    (void)client_privilege;
    (void)flag;
    const std::string name = FullName();
    // decisions CORE-58
    ItemLog(ID(), "Write state " + name + " " + ValueText(value), PL_INFO, "Write state");
    Variant v;
    HRESULT hr = plat::VariantChangeTypeEx(v, value, locale, 0, plat::VT_I4);
    int32_t result;
    if (plat::Failed(hr) || !(v.lVal == 0 || v.lVal == 1 || v.lVal == 7 || v.lVal == 80)) {
        WriteProtocolLine("DF56ACCD-2EBA-4A57-AC5C-542B68A506D6 " + name + " " + ValueText(value),
                          PL_EXTERNAL, "DF56ACCD-2EBA-4A57-AC5C-542B68A506D6");
        result = plat::OPC_E_RANGE;
    } else if (int enabled = CheckPostEnabled(post_number_.load(), v.lVal); enabled != 0) {
        result = enabled;
    } else {
        result = queue_.Add(New<TCommand>(TCommand::SetState, v.lVal));
    }
    ItemLog(ID(), "Write state result " + std::to_string(result), PL_INFO, "Write state result");
    return result;
}

std::vector<PropertyInfo> TStateItem::AvailableProperties() {
    auto props = TMyLeafItem::AvailableProperties();
    props.push_back({PROP_CLOSE, "Contact Close Label", plat::VT_BSTR});
    props.push_back({PROP_OPEN, "Contact Open Label", plat::VT_BSTR});
    props.push_back({PROP_REAL_HARDWARE, "Real hardware", plat::VT_BOOL});
    return props;
}

HRESULT TStateItem::GetItemProperty(uint32_t id, LCID locale, Variant& out) {
    switch (id) {
        case PROP_VALUE:
            out = Variant::I4(GetState());
            return plat::S_OK;
        case PROP_CLOSE:
            out = Variant::Str(std::string("Not idle"));
            return plat::S_OK;
        case PROP_OPEN:
            out = Variant::Str(std::string("Idle"));
            return plat::S_OK;
        case PROP_REAL_HARDWARE:
            out = Variant::Bool(real_hardware_);
            return plat::S_OK;
        default:
            return TMyLeafItem::GetItemProperty(id, locale, out);
    }
}

// --- TVarItem ------------------------------------------------------------------------------

VARTYPE TVarItem::CanonicalTypeOf(const TVariableInfoEx& d) {
    if (d.Step.int64 == kFixedOne) {
        if (d.MinValue.int64 == 0 && d.MaxValue.int64 == kFixedOne) return plat::VT_BOOL;
        constexpr int64_t lo =
            static_cast<int64_t>(std::numeric_limits<int32_t>::min()) * kFixedOne;
        constexpr int64_t hi =
            static_cast<int64_t>(std::numeric_limits<int32_t>::max()) * kFixedOne;
        if (d.MinValue.int64 >= lo && d.MaxValue.int64 <= hi) return plat::VT_I4;
    }
    return plat::VT_R8;
}

TVarItem::TVarItem(int post_number, bool real_hardware, TCQueue* queue,
                   const TVariableInfoEx* descriptor)
    : TMyLeafItem(plat::WideToUtf8(descriptor->ShortName), CanonicalTypeOf(*descriptor)),
      descriptor_(descriptor),
      queue_(queue),
      post_number_(static_cast<uint16_t>(post_number)),
      real_hardware_(real_hardware) {}

std::string TVarItem::DescriptionRu() {
    return plat::WideToUtf8(descriptor_->Name);
}

Variant TVarItem::AsVariant(int64_t value) const {
    switch (CanonicalType()) {
        case plat::VT_BOOL:
            return Variant::Bool(value != 0);
        case plat::VT_I4:
            return Variant::I4(static_cast<int32_t>(value / kFixedOne));
        default:
            return Variant::R8(static_cast<double>(value) / static_cast<double>(kFixedOne));
    }
}

TVarValue TVarItem::GetValue() {
    ReadGuard g(lock_);
    return {value_, time_, link_quality_, tick_};
}

uint16_t TVarItem::QualityLocked() {
    uint16_t q;
    if (enabled_) {
        switch (link_quality_) {
            case LQ_INVALID:
                q = 20;
                break;
            case LQ_KEPT:
                q = 68;
                break;
            case LQ_FRESH:
                q = OPC_QUALITY_GOOD;
                break;
            default:
                q = 0;
                break;
        }
    } else {
        switch (link_quality_) {
            case LQ_INVALID:
                q = 8;
                break;
            case LQ_KEPT:
            case LQ_FRESH:
                q = 20;
                break;
            default:
                q = 0;
                break;
        }
    }
    if (q == OPC_QUALITY_GOOD &&
        (value_ < descriptor_->MinValue.int64 || value_ > descriptor_->MaxValue.int64))
        q = OPC_QUALITY_EGU_EXCEEDED;
    return q;
}

uint16_t TVarItem::GetQuality() {
    ReadGuard g(lock_);
    return QualityLocked();
}

void TVarItem::StoreValue(int64_t value, DATE time, uint8_t link_quality) {
    WriteGuard g(lock_);
    const bool same = value == value_ && link_quality == link_quality_ && next_ > shift_;
    if (value != value_) last_change_ = time;
    value_ = value;
    time_ = time;
    tick_ = static_cast<int64_t>(plat::GetTickCount64());
    link_quality_ = link_quality;
    if (same)
        SetLastTimestampLocked(time);
    else
        NewSampleLocked(AsVariant(value), QualityLocked(), time);
}

void TVarItem::Stamp(DATE time) {
    WriteGuard g(lock_);
    time_ = time;
    tick_ = static_cast<int64_t>(plat::GetTickCount64());
    if (next_ > shift_) SetLastTimestampLocked(time);
}

// decisions CORE-63
void TVarItem::KeepValue(DATE time) {
    WriteGuard g(lock_);
    if (link_quality_ != LQ_FRESH) return;
    link_quality_ = LQ_KEPT;
    NewSampleLocked(AsVariant(value_), QualityLocked(), time);
}

bool TVarItem::RestoreValue(const TVarValue& saved, uint8_t link_quality) {
    if (descriptor_->RefreshClass == kRefreshNever) return false;
    const DATE now = plat::NowLocal();
    if (!(saved.time >= now - 1.0 && saved.time <= now)) return false;
    // A saved value's age is known only from the wall clock; from here on it ages on the
    // monotonic one.
    // decisions CORE-52
    const auto age_ms = static_cast<int64_t>((now - saved.time) * 86400000.0);
    WriteGuard g(lock_);
    value_ = saved.value;
    time_ = saved.time;
    tick_ = static_cast<int64_t>(plat::GetTickCount64()) - age_ms;
    link_quality_ = link_quality;
    NewSampleLocked(AsVariant(saved.value), QualityLocked(), saved.time);
    return true;
}

void TVarItem::RequestRefresh() {
    WriteProtocolLine("CD0A6ED0-A771-431C-BC23-30060F037289 " + FullName(), PL_INFO,
                      "CD0A6ED0-A771-431C-BC23-30060F037289");
    {
        WriteGuard g(lock_);
        refresh_tick_ = plat::GetTickCount();
        refresh_mark_ = 1;
    }
    TMyLeafItem::RequestRefresh();
}

uint8_t TVarItem::RefreshMark() {
    ReadGuard g(lock_);
    return refresh_mark_;
}

void TVarItem::ClearRefreshMark() {
    WriteGuard g(lock_);
    refresh_mark_ = 0;
}

bool TVarItem::NeedsRefresh(int column, bool strict) {
    if (descriptor_->RefreshClass == kRefreshNever) return false;
    int64_t t;
    {
        ReadGuard g(lock_);
        t = tick_;
    }
    // decisions CORE-52
    const auto elapsed_ms = static_cast<double>(static_cast<int64_t>(plat::GetTickCount64()) - t);
    return elapsed_ms >
           RefreshFactor(descriptor_->RefreshClass, column) * (strict ? 5000.0 : 20000.0);
}

// A value read from the controller but outside the limits of a client write (a price of 0,
// say) is as fresh as any: its quality tells the clients, the stale pass must not re-read it
// for ever and pause the delivery.
bool TVarItem::IsUpToDate(int column) {
    const uint16_t q = GetQuality();
    return (q >= OPC_QUALITY_GOOD || q == OPC_QUALITY_EGU_EXCEEDED) && !NeedsRefresh(column, true);
}

void TVarItem::SetEnabled(bool on) {
    WriteGuard g(lock_);
    enabled_ = on ? 1 : 0;
}

HRESULT TVarItem::MakeWriteCommand(int64_t value) {
    int64_t v = FixedPointRound(0, descriptor_->Step.int64, value);
    if (v < descriptor_->MinValue.int64 || v > descriptor_->MaxValue.int64)
        return plat::OPC_E_RANGE;
    return queue_->Add(New<TCommand>(TCommand::WriteVariable, descriptor_->Code, v));
}

HRESULT TVarItem::Write(const Variant& value, int client_privilege, int flag, LCID locale) {
    (void)flag;
    ItemLog(ID(), "Write var " + FullName() + " " + ValueText(value), PL_INFO, "Write var");
    HRESULT result;
    if (!descriptor_->IsWriteable) {
        result = plat::OPC_E_BADRIGHTS;
    } else if (RestrictUsers().load() && client_privilege < descriptor_->WriteLevel) {
        result = plat::E_ACCESSDENIED;
    } else {
        Variant cy;
        result = plat::VariantChangeTypeEx(cy, value, locale, 0, plat::VT_CY);
        if (plat::Succeeded(result)) result = MakeWriteCommand(cy.cyVal);
    }
    ItemLog(ID(), "Write var result " + std::to_string(result), PL_INFO, "Write var result");
    return result;
}

std::vector<PropertyInfo> TVarItem::AvailableProperties() {
    auto props = TMyLeafItem::AvailableProperties();
    props.insert(props.end(), {{PROP_UNIT, "EU Units", plat::VT_BSTR},
                               {PROP_HIEU, "High EU", plat::VT_R8},
                               {PROP_LOEU, "Low EU", plat::VT_R8},
                               {PROP_HIRANGE, "High Instrument Range", plat::VT_R8},
                               {PROP_LORANGE, "Low Instrument Range", plat::VT_R8},
                               {PROP_REAL_HARDWARE, "Real hardware", plat::VT_BOOL}});
    return props;
}

HRESULT TVarItem::GetItemProperty(uint32_t id, LCID locale, Variant& out) {
    switch (id) {
        case PROP_UNIT:
            out = Variant::Str(std::string());
            return plat::S_OK;
        case PROP_HIEU:
        case PROP_HIRANGE:
            out = CyOf(descriptor_->MaxValue.int64);
            return plat::S_OK;
        case PROP_LOEU:
        case PROP_LORANGE:
            out = CyOf(descriptor_->MinValue.int64);
            return plat::S_OK;
        case PROP_REAL_HARDWARE:
            out = Variant::Bool(real_hardware_);
            return plat::S_OK;
        default:
            return TMyLeafItem::GetItemProperty(id, locale, out);
    }
}

}  // namespace drv
