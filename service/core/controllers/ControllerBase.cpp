#include "service/core/controllers/ControllerBase.h"

#include <cmath>
#include <cstring>

#include "fieldbus/core/HostApi.h"
#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/base/CoreHooks.h"
#include "service/core/base/Errors.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"

namespace drv {

const char* const kZrnDevKey = "\\Software\\Norvalt\\Drv\\ZrnDev\\";

namespace {

// An unchanged state reported again within this margin is not even re-stamped.
constexpr double kSameStateMarginMs = 500.0;

std::atomic<int> g_base_post{0};
std::atomic<int> g_highest_post{0};

std::string Num(int64_t v) {
    return std::to_string(v);
}

// Binary forms of the saved values: Currency and date as 8 little-endian bytes.
std::vector<uint8_t> Bytes8(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + 8);
}

}  // namespace

TBasicTork::TBasicTork(const TorkCreateArgs& args)
    : TStateItem(args.owner ? args.owner->Shift() + args.address : args.address, true),
      owner_(args.owner),
      address_(args.address),
      family_(args.family),
      version_(args.version),
      vars_("Vars"),
      descriptors_(std::make_unique<std::array<TVariableInfoEx, 256>>()) {
    if (!owner_) throw Exception("TBasicTork without an owner");
    last_good_ = args.time;
    last_good_tick_ = plat::GetTickCount64();
}

TBasicTork::~TBasicTork() = default;

void TBasicTork::Log(std::string_view text, int level) {
    Owner().Port().Log().Log("<" + std::to_string(address_) + "> " + std::string(text), level);
}

void TBasicTork::Init(DATE time) {
    Log("Post" + std::to_string(PostNumber()) + ".CreateTorkItem", PL_INFO);
    Owner().PostCountChanged(+1);
    defining_ = true;
    try {
        DefineVariables(version_);
    } catch (...) {
        defining_ = false;
        throw;
    }
    defining_ = false;
    // A definition that ended early leaves the object to be dropped at once: it names no
    // branch (it would stay empty in the tree) and neither loads nor deletes saved values.
    const bool defined = link_state_ == LINK_OK;
    // decisions CORE-32
    if (post_branch_ == -1 && defined) BuildItemNames(address_, 0, 0);
    for (int code = 0; code < 256; ++code) {
        const TVariableInfoEx& d = (*descriptors_)[static_cast<size_t>(code)];
        if (!d.Defined()) continue;
        auto v = New<TVarItem>(PostNumber(), true, &Queue(), &d);
        vars_.SetAt(code, ComPtr<IRef>(static_cast<IRef*>(v.Get())));
    }
    SetVarRaw(tlb::cvFirmwareVersion, LQ_FRESH, time, int64_t{version_} * kFixedOne);
    SetVarRaw(tlb::cvControllerVersion, LQ_FRESH, time, int64_t{family_} * kFixedOne);
    SetVarRaw(tlb::cvAddress, LQ_FRESH, time, int64_t{PostNumber()} * kFixedOne);
    WritePostNumbers(time);
    TStateItem::SetStateValue(tlb::csUnknown, time);
    own_state_ = tlb::csUnknown;

    // BasePost already holds the port's shift. Each object keeps its values under its own
    // address, as Remove saves them: the base's key would hand another side's dose and price
    // to this one.
    // decisions CORE-33
    const int base = static_cast<int>(VarValue(tlb::cvBasePost) / kFixedOne);
    const int n = base != 0 ? base - Owner().Shift() : address_;
    using plat::reg::Hive;
    if (defined && !plat::reg::KeyExists(Hive::LocalMachine, SavedKey(n)))
        plat::reg::DeleteKeyTree(Hive::LocalMachine, SavedKey(address_));
    if (defined && plat::reg::KeyExists(Hive::LocalMachine, SavedKey(address_))) LoadValues();
    ConstructHook();
    Log(std::to_string(family_) + " " + std::to_string(version_) +
            "{FB46C71D-6E9F-4B91-AE3F-F81019C5FD37",
        PL_INFO);
}

TVariableInfoEx& TBasicTork::DefineVar(VarRec record) {
    TVariableInfoEx v = CopyVariableInfo(record);
    TVariableInfoEx& slot = (*descriptors_)[static_cast<uint8_t>(v.Code)];
    slot = std::move(v);
    return slot;
}

void TBasicTork::BuildItemNames(int post, int side, int position) {
    post_number_given_ = post;
    const bool flat = FlatPosts();
    const int n = Owner().Shift() + (flat ? address_ : post);
    SetPostNumber(n);
    const std::string post_name = "Post" + std::to_string(n);
    post_branch_ = FindOrCreateBranch(-1, "", post_name);
    side_branch_ = post_branch_;
    position_branch_ = post_branch_;
    if (flat) return;
    std::string parent = post_name;
    if (side >= 1) {
        side_branch_ = FindOrCreateBranch(post_branch_, parent, "S" + std::to_string(side));
        parent = JoinItemName(parent, "S" + std::to_string(side));
    }
    position_branch_ = side_branch_;
    if (position >= 1)
        position_branch_ = FindOrCreateBranch(side_branch_, parent, "P" + std::to_string(position));
}

void TBasicTork::AddItemsToNS() {
    if (added_) return;
    added_ = true;
    AddToNS(position_branch_);
    const bool flat = FlatPosts();
    for (int code = 0; code < 256; ++code) {
        ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code));
        if (!v) continue;
        int parent;
        switch (flat ? 2 : v->Descriptor().BelongsTo) {
            case 0:
                parent = position_branch_;
                break;
            case 1:
                parent = side_branch_;
                break;
            case 2:
                parent = post_branch_;
                break;
            default:
                continue;  // not part of the hierarchical layout
        }
        v->AddToNS(parent);
    }
}

// --- variables -----------------------------------------------------------------------------

bool TBasicTork::HasVar(uint8_t code) {
    return vars_.Exists(code);
}

ComPtr<TVarItem> TBasicTork::Var(uint8_t code) {
    return vars_.GetAs<TVarItem>(code);
}

TVarValue TBasicTork::VarRecord(uint8_t code) {
    ComPtr<TVarItem> v = Var(code);
    return v ? v->GetValue() : TVarValue{};
}

bool TBasicTork::SetVarRaw(uint8_t code, uint8_t link_quality, DATE time, int64_t value) {
    ComPtr<TVarItem> v = Var(code);
    if (!v) return false;
    const TVarValue old = v->GetValue();
    if ((code == tlb::cvTotalV || code == tlb::cvTotalW) && old.link_quality == LQ_FRESH &&
        link_quality == LQ_FRESH) {
        int64_t jump = value - old.value;
        if (jump < 0 || jump >= int64_t{100000} * kFixedOne)
            WriteProtocolLine(SafeFormat("452695B9-2798-4D0E-ADBD-3D7B0E4A50A6 OldV=%d NewV=%d",
                                         {plat::Variant::I8(old.value / kFixedOne),
                                          plat::Variant::I8(value / kFixedOne)}),
                              PL_EXTERNAL);
    }
    v->StoreValue(value, time, link_quality);
    MarkRefreshed(code);
    const bool changed = old.value != value;
    if (changed && code >= tlb::cvCurrentV && code <= tlb::cvTotalV) {
        flowing_ = true;
        flowing_tick_ = plat::GetTickCount();
    }
    if (has_money_) {
        if (code == tlb::cvDozeV) UpdateMoneyValues(0);
        if (code == tlb::cvCurrentV) UpdateMoneyValues(1);
        if (code == tlb::cvLiterPrice) UpdateMoneyValues(2);
    }
    return changed;
}

bool TBasicTork::StoreByteVar(uint8_t code, int value, DATE time) {
    return SetVarRaw(code, LQ_FRESH, time, int64_t{value} * kFixedOne);
}

void TBasicTork::StampVars(DATE time) {
    for (int code = 0; code < 256; ++code)
        if (ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code))) v->Stamp(time);
    SetVarRaw(tlb::cvStateWithFlags, LQ_FRESH, time, int64_t{StateWithFlags()} * kFixedOne);
}

// The identity (program, family, post number) is no reading, and StateWithFlags follows the
// state, which shows the failure itself.
// decisions CORE-63
void TBasicTork::KeepVars(DATE time) {
    const VarSet& identity = BaseNoRefreshVars();
    for (int code = 0; code < 256; ++code)
        if (ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code)); v && !identity.test(code))
            v->KeepValue(time);
}

int TBasicTork::ColumnForState(int32_t state) const {
    switch (state) {
        case tlb::csWorking:
            return 1;  // working: counters move
        case tlb::csWaitingKey:
        case tlb::csPaused:
            return 2;  // waiting for the key or paused
        default:
            return 0;  // idle and the error states
    }
}

bool TBasicTork::SetStateValue(int32_t state, DATE time) {
    // The margin is measured on the monotonic clock, the stamp alone follows the wall clock.
    // decisions CORE-52
    if (state == own_state_ && state == GetState() &&
        plat::GetTickCount64() - StateTick() < kSameStateMarginMs)
        return false;
    const bool changed = TStateItem::SetStateValue(state, time);
    own_state_ = state;
    if (changed) column_ = ColumnForState(state);
    if (state == tlb::csCommError) KeepVars(time);
    SetVarRaw(tlb::cvStateWithFlags, LQ_FRESH, time, int64_t{StateWithFlags()} * kFixedOne);
    return changed;
}

uint8_t TBasicTork::StateWithFlags() {
    const int32_t s = own_state_;
    int f = 0;
    if (s != tlb::csIdle && VarValue(tlb::cvCurrentV) > 0) {
        // The flow is never negative (a falling counter stores 0).
        const int64_t p = WholeUnits(VarValue(tlb::cvProductivity)) * kFixedOne;
        f = p == 0 ? 1 : p < 2000000 ? 2 : 3;
    }
    if (s & 0x80) return static_cast<uint8_t>(s);
    const uint8_t level = FlagsLevel();
    if (level == 255) return static_cast<uint8_t>((s & 0xE7) | (f * 8));
    return static_cast<uint8_t>((s & 0xE1) | (f * 8) | ((level * 2) & 0x1E));
}

void TBasicTork::FlowUpdate(const TVarValue& old_value, const TVarValue& new_value) {
    const DATE t = new_value.time;
    if (new_value.value == 0 || old_value.value > new_value.value ||
        old_value.link_quality != LQ_FRESH || new_value.link_quality != LQ_FRESH) {
        SetVarRaw(tlb::cvProductivity, LQ_FRESH, t, 0);
    } else {
        if (old_value.tick == new_value.tick)
            throw Exception("2374B261-90CE-4C9A-8723-920C24C3646D");
        // The rate is taken over the monotonic interval between the two readings.
        // decisions CORE-52
        const double dt =
            static_cast<double>(new_value.tick - old_value.tick) / 1e6;  // thousands of seconds
        const int64_t prev = VarValue(tlb::cvProductivity);
        const double delta = static_cast<double>(new_value.value - old_value.value);
        int64_t flow;
        if (dt <= 0)
            flow = 0;
        else if (new_value.value == old_value.value && prev < 5000000)
            flow = 0;
        else if (old_value.value == 0 || dt >= 0.001)
            flow = std::llround(delta / dt);
        else
            flow = std::llround((delta * 5000 + static_cast<double>(prev)) / (dt * 5000 + 1));
        SetVarRaw(tlb::cvProductivity, LQ_FRESH, t, flow);
        // Product moved in a delivery: a dose that was only stored has now been used. The
        // totalizer's tail counted after the post came to rest uses no dose stored since.
        const int32_t s = GetState();
        if (new_value.value > old_value.value &&
            (s == tlb::csWaitingKey || s == tlb::csWorking || s == tlb::csPaused))
            dose_only_stored_ = false;
    }
    // Hold a running state while product flows, and only then.
    hold_state_ = VarValue(tlb::cvProductivity) > 0;
}

// --- saved values and removal -------------------------------------------------------------------

std::string TBasicTork::SavedKey(int post_number) const {
    return std::string(kZrnDevKey) + std::to_string(owner_->Shift() + post_number);
}

void TBasicTork::LoadValues() {
    Log("Load", PL_INFO);
    using plat::reg::Hive;
    const std::string key = SavedKey(address_);
    // Currency values and dates are saved as their 8 raw bytes.
    auto read8 = [&](const std::string& name, void* out) {
        std::vector<uint8_t> b;
        if (plat::reg::ReadBinary(Hive::LocalMachine, key, name, b) != plat::ERROR_SUCCESS ||
            b.size() != 8)
            return false;
        std::memcpy(out, b.data(), 8);
        return true;
    };
    auto read_cy = [&](const std::string& name, int64_t& out) { return read8(name, &out); };
    auto read_date = [&](const std::string& name, DATE& out) {
        return read8(name, &out) && std::isfinite(out);
    };
    int64_t fam = -1, ver = -1;
    // decisions CORE-31
    if (!read_cy("ControllerVersionValue", fam) || !read_cy("FirmwareVersionValue", ver)) return;
    if (fam / kFixedOne != family_ || ver / kFixedOne != version_) return;
    for (int code = 0; code < 256; ++code) {
        ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code));
        if (!v || v->Descriptor().RefreshClass != kRefreshSaved) continue;
        const std::string name = plat::WideToUtf8(v->Descriptor().ShortName);
        TVarValue saved;
        if (!read_cy(name + "Value", saved.value) || !read_date(name + "TimeStamp", saved.time))
            continue;
        v->RestoreValue(saved, LQ_KEPT);
    }
}

void TBasicTork::SavePort(const std::string& key) {
    Log("Save", PL_INFO);
    plat::reg::Batch batch(plat::reg::Hive::LocalMachine);
    batch.DeleteKeyTree(key).CreateKey(key).WriteDword(key, "ComPort",
                                                       static_cast<uint32_t>(Owner().ComNumber()));
    for (int code = 0; code < 256; ++code) {
        if (code == 23 || code == 24 || code == 25 || code == 32 || code == 38) continue;
        ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code));
        if (!v) continue;
        TVarValue r = v->GetValue();
        if (r.time == 0) continue;
        const std::string name = plat::WideToUtf8(v->Descriptor().ShortName);
        batch.WriteBinary(key, name + "Value", Bytes8(&r.value));
        batch.WriteBinary(key, name + "TimeStamp", Bytes8(&r.time));
    }
    // A second side or a further nozzle shows no identity of its own, yet its values are
    // loaded only against one: the controller's program goes with them.
    auto identity = [&](uint8_t code, const char* name, int64_t value) {
        if (HasVar(code)) return;
        const int64_t v = value * kFixedOne;
        batch.WriteBinary(key, name, Bytes8(&v));
    };
    identity(tlb::cvControllerVersion, "ControllerVersionValue", family_);
    identity(tlb::cvFirmwareVersion, "FirmwareVersionValue", version_);
    long rc = batch.Commit();
    if (rc != plat::ERROR_SUCCESS)
        Log("Save failed, registry error " + std::to_string(rc), PL_CRITICAL);
}

void TBasicTork::DeleteSavedKey() {
    Log("597741DB-EF2F-4D5A-B54F-8A2069AF39C0", PL_EXTERNAL);
    plat::reg::DeleteKeyTree(plat::reg::Hive::LocalMachine, SavedKey(address_));
}

void TBasicTork::Remove() {
    try {
        StopBeforeRemove();
    } catch (...) {
        ProtocolCurrentException("TBasicTork.Remove");
    }
    OPCServerRegisteredFn probe = CoreHooks().opc_server_registered.load();
    if (!probe || probe()) {
        const uint8_t link = link_state_.load();
        if (link == LINK_FAILED) {
            DeleteSavedKey();
        } else if (link == LINK_OK || link == LINK_SILENT) {
            SavePort(SavedKey(address_));
        }
    }
    Owner().PostCountChanged(-1);
    for (int code = 0; code < 256; ++code)
        if (ComPtr<TVarItem> v = Var(static_cast<uint8_t>(code))) v->RemoveFromNS();
    RemoveFromNS();
    for (int code = 0; code < 256; ++code) vars_.Extract(code);
}

// --- money -----------------------------------------------------------------------------------

void TBasicTork::DefineMoneyVariables() {
    const TVariableInfoEx& price = DefineVar(price_shift_ == 0   ? VarRec::PriceVCents
                                             : price_shift_ == 1 ? VarRec::PriceVTenths
                                                                 : VarRec::PriceVWhole);
    const int64_t step = price.Step.int64;
    const TVariableInfoEx& dose = Descriptor(tlb::cvDozeV);
    const TVariableInfoEx& current = Descriptor(tlb::cvCurrentV);
    TVariableInfoEx& dm = DefineVar(VarRec::DozeM);
    dm.Step.int64 = step;
    dm.MinValue.int64 =
        FixedPointRound(2, step, price.MinValue.int64 * dose.MinValue.int64 / kFixedOne);
    dm.MaxValue.int64 =
        FixedPointRound(1, step, price.MaxValue.int64 * dose.MaxValue.int64 / kFixedOne);
    TVariableInfoEx& cm = DefineVar(VarRec::CurrentM);
    cm.Step.int64 = step;
    cm.MinValue.int64 =
        FixedPointRound(2, step, price.MinValue.int64 * current.MinValue.int64 / kFixedOne);
    cm.MaxValue.int64 =
        FixedPointRound(1, step, price.MaxValue.int64 * current.MaxValue.int64 / kFixedOne);
}

int32_t TBasicTork::SetDoseByMoney(int64_t money) {
    ReReadVarValue(tlb::cvLiterPrice);
    const TVarValue price = VarRecord(tlb::cvLiterPrice);
    if (price.link_quality != LQ_FRESH || price.value <= 0) return plat::OPC_E_RANGE;
    return SetVarValue(tlb::cvDozeV, money * kFixedOne / price.value);
}

int32_t TBasicTork::WritePrice(int64_t value) {
    Log("695F6E17-E2B6-4FCF-96F9-449E1AD1C354 " + Num(value), PL_INFO);
    const int digits = 2 + price_shift_, dec = 2 - price_shift_;
    if (!FitsDecimal(digits, dec, value)) return plat::OPC_E_RANGE;
    std::string answer;
    if (!Exchange('c', FormatDecimal(digits, dec, value), false, true, kZrnMaxFrame, answer, 1))
        return -5;
    SetVarRaw(tlb::cvLiterPrice, LQ_FRESH, plat::NowLocal(), value);
    return 0;
}

void TBasicTork::UpdateMoneyValues(int which) {
    if (!has_money_) return;
    const TVarValue price = VarRecord(tlb::cvLiterPrice);
    const DATE now = plat::NowLocal();
    if ((which == 1 || which == 2) && HasVar(tlb::cvCurrentM)) {
        int64_t v = FixedPointRound(0, Descriptor(tlb::cvCurrentM).Step.int64,
                                    price.value * VarValue(tlb::cvCurrentV) / kFixedOne);
        if (ComPtr<TVarItem> m = Var(tlb::cvCurrentM)) m->StoreValue(v, now, LQ_FRESH);
        // decisions CORE-29
        MarkRefreshed(tlb::cvCurrentM);
    }
    if ((which == 0 || which == 2) && HasVar(tlb::cvDozeM)) {
        int64_t v = FixedPointRound(0, Descriptor(tlb::cvDozeM).Step.int64,
                                    price.value * VarValue(tlb::cvDozeV) / kFixedOne);
        if (ComPtr<TVarItem> m = Var(tlb::cvDozeM)) m->StoreValue(v, now, LQ_FRESH);
        MarkRefreshed(tlb::cvDozeM);
    }
}

// Money is refreshed by storing it, as any value: its round-robin re-read (of the price or the
// volume) would otherwise always look failed and end the cycle with an exception.
void TBasicTork::MarkRefreshed(uint8_t code) {
    if (refresh_status_[code] == RS_REQUESTED) refresh_status_[code] = RS_REFRESHED;
}

void TBasicTork::SetPostNumberRange(int base, int highest) {
    g_base_post = base;
    g_highest_post = std::max(base * 31 + 31, highest) & 0xFFFF;
}

int TBasicTork::HighestPostNumber() {
    return g_highest_post.load();
}

}  // namespace drv
