#include "service/core/controllers/ControllerBase.h"

#include <cmath>
#include <cstring>

#include "fieldbus/core/HostApi.h"
#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"

namespace drv {

namespace {

constexpr uint32_t kFlowHoldMs = 3000;
// How long a start sent from idle holds the other nozzles of its side before the started
// nozzle's own status shows the delivery.
constexpr uint32_t kStartHoldMs = 3000;

bool Delivering(int32_t state) {
    return state == tlb::csWaitingKey || state == tlb::csWaitingKeyAfterPause ||
           state == tlb::csWorking || state == tlb::csPaused;
}
constexpr double kSilentMs = 30000.0;

bool IsCounterCommand(uint8_t c) {
    return std::strchr("CDJQSTUXY", c) != nullptr && c != 0;
}

std::string Num(int64_t v) {
    return std::to_string(v);
}

}  // namespace

// --- exchanges -------------------------------------------------------------------------------

bool TBasicTork::Exchange(uint8_t command, std::string_view data, bool quiet, bool parse,
                          size_t capacity, std::string& answer, int expected) {
    TZrnPort& port = Owner().Port();
    const bool ok =
        port.Transact(address_, command, data, expected, answer, capacity, false, mode_, quiet);
    const DATE now = plat::NowLocal();
    if (ok) {
        NoteGoodExchange(now);
        if (failed_command_ != 0) {
            std::string again;
            if (port.Transact(address_, failed_command_, failed_data_, failed_expected_, again,
                              kZrnMaxFrame, false, mode_, failed_quiet_))
                failed_command_ = 0;
        }
        if (failed_command_ == 0) {
            if (parse && expected >= 6 && !answer.empty())
                ParseReply(answer[0], static_cast<char>(command), now);
            StampVars(now);
        }
        return true;
    }
    if (failed_command_ == 0 && IsCounterCommand(command)) {
        Log("Bad-----" + std::string(1, static_cast<char>(command)) + "-----" + std::string(data) +
                "---" + std::to_string(expected),
            PL_EXTERNAL);
        failed_command_ = command;
        failed_data_ = std::string(data);
        failed_expected_ = expected;
        failed_quiet_ = quiet;
    }
    if (defining_) {
        link_state_ = LINK_FAILED;
        Log("862238AF-0B32-42BC-9193-D43456CE052E", PL_EXTERNAL);
    } else if (parse) {
        NoteFailedExchange(now);
    }
    return false;
}

void TBasicTork::NoteGoodExchange(DATE time) {
    last_good_ = time;
    last_good_tick_ = plat::GetTickCount64();
}

void TBasicTork::NoteFailedExchange(DATE time) {
    last_failed_ = time;
    Log("F17D3D62-27E4-4455-84C1-BF727B1F2664", PL_INFO);
    SetStateValue(tlb::csCommError, time);
    // The silence is measured on the monotonic clock: a wall clock put forward would remove a
    // post at its first lost answer, one put back would keep a dead one.
    // decisions CORE-52
    if (plat::GetTickCount64() - last_good_tick_ > kSilentMs) {
        link_state_ = LINK_SILENT;
        Log("7B9C9A30-8FAA-44DB-8D89-3F880B78B67A", PL_INFO);
    }
}

bool TBasicTork::ReadCounter(char command, int expected, int dec_pos, int64_t& value) {
    std::string answer;
    if (!Exchange(static_cast<uint8_t>(command), "", false, true, kZrnMaxFrame, answer, expected))
        return false;
    int error = 0;
    value = ParseDecimal(answer, 2, dec_pos, false, 0, error);
    return error == 0;
}

bool TBasicTork::ReadNibble(char command, uint8_t param, bool parse, uint8_t& value) {
    std::string answer;
    if (!Exchange(static_cast<uint8_t>(command), ByteToNibbles(param), false, parse, kZrnMaxFrame,
                  answer, 9) ||
        answer.size() < 3)
        return false;
    value = NibblesToByte(answer.substr(1, 2));
    return true;
}

bool TBasicTork::ReadDigits(char command, uint8_t param, uint8_t& value) {
    std::string answer;
    if (!Exchange(static_cast<uint8_t>(command), ByteToNibbles(param), false, true, kZrnMaxFrame,
                  answer, 9) ||
        answer.size() < 3)
        return false;
    value = DigitsToByte(answer.substr(1, 2));
    return true;
}

bool TBasicTork::AddDigitSum(char command, uint8_t param, int64_t weight, int64_t& acc) {
    uint8_t v = 0;
    if (!ReadDigits(command, param, v)) return false;
    acc += int64_t{v} * weight;
    return true;
}

bool TBasicTork::ReadCalib(char command, uint8_t param, int64_t& value) {
    int64_t acc = 0;
    if (!AddDigitSum(command, param, 100000, acc) ||
        !AddDigitSum(command, static_cast<uint8_t>(param + 1), 1000, acc) ||
        !AddDigitSum(command, static_cast<uint8_t>(param + 2), 10, acc))
        return false;
    value = acc;
    Log("9916A5E5-C9FB-4753-947C-9366F232B189 " + Num(acc), PL_INFO);
    return true;
}

bool TBasicTork::WriteBcd6(char command, uint8_t param, int64_t number) {
    Log("0E670636-6C3C-48E2-ABD3-3C201185951B " + Num(number), PL_INFO);
    const int pairs[3] = {static_cast<int>(number / 10000 % 100),
                          static_cast<int>(number / 100 % 100), static_cast<int>(number % 100)};
    for (int i = 0; i < 3; ++i) {
        std::string answer;
        std::string data = ByteToNibbles(static_cast<uint8_t>(param + i)) +
                           ByteToNibbles(ByteToBcd(static_cast<uint8_t>(pairs[i])));
        if (!Exchange(static_cast<uint8_t>(command), data, false, true, kZrnMaxFrame, answer, 1))
            return false;
    }
    return true;
}

bool TBasicTork::ReadNibbleByteVar(uint8_t param, uint8_t code) {
    uint8_t v = 0;
    if (!ReadNibble('X', param, true, v)) return false;
    Log("6E422170-8FBE-423F-B2AD-88D217CBE772 " + Num(v), PL_INFO);
    StoreByteVar(code, v, plat::NowLocal());
    return true;
}

bool TBasicTork::ReadDigitByteVar(uint8_t param, uint8_t code) {
    uint8_t v = 0;
    if (!ReadDigits('X', param, v)) return false;
    Log("74C3901D-C985-4037-9330-DD0A06812193 " + Num(v), PL_INFO);
    if (StoreByteVar(code, v, plat::NowLocal()))
        if (ComPtr<TVarItem> inspector = Var(tlb::cvInspector)) inspector->RequestRefresh();
    return true;
}

bool TBasicTork::ReadSignBcdTemperature(uint8_t param, uint8_t code) {
    uint8_t b = 0;
    if (!ReadNibble('X', param, true, b)) return false;
    int magnitude = 10 * ((b & 0x7F) >> 4) + (b & 0x0F);
    int t = (b & 0x80) ? -magnitude : magnitude;
    // decisions DRV-24
    Log("4793CF18-0B3A-4286-AACD-3F694F87CB90 " + Num(t), PL_DETAIL);
    SetVarRaw(code, LQ_FRESH, plat::NowLocal(), int64_t{t} * kFixedOne);
    return true;
}

bool TBasicTork::ReadZTemperature(uint8_t code, bool parse) {
    std::string answer;
    // decisions DRV-31
    if (!Exchange('Z', "", false, parse, kZrnMaxFrame, answer, 12)) return false;
    int error = 0;
    int64_t v = ParseDecimal(answer, 3, 255, true, 0, error);
    SetVarRaw(code, static_cast<uint8_t>(error ? 3 : LQ_FRESH), plat::NowLocal(), error ? 0 : v);
    return error == 0;
}

// --- the service cycle ---------------------------------------------------------------------

// decisions CORE-27
bool TBasicTork::IsIdle() {
    int32_t s = GetState();
    return s != tlb::csWaitingKey && s != tlb::csWorking;
}

bool TBasicTork::StateJumpValid(uint8_t from, uint8_t to) {
    auto is = [&](int f, int t) { return from == f && to == t; };
    if (is(0, 1) || is(1, 0) || is(7, 0) || is(7, 80) || is(80, 0) || is(80, 1)) return true;
    return side_post_ && (is(0, 7) || is(1, 7) || is(80, 7));
}

void TBasicTork::GetNoRefreshVars(VarSet& out) {
    out = BaseNoRefreshVars();
}

uint32_t TBasicTork::GetAddress(uint8_t side, uint8_t nozzle) {
    if (side > 1 || nozzle > 1) throw Exception("60090842-7FDA-40CD-AF92-DA11BFDBD4D5");
    return address_;
}

void TBasicTork::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvLiterPrice: {
            int64_t price = 0;
            if (ReadCounter('C', 11, 4 + price_shift_, price)) {
                Log("1ED9DD3A-6DE3-4D1A-A494-4D6D6D0865E8 " + Num(price), PL_INFO);
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), price);
            }
            return;
        }
        case tlb::cvDozeM:
        case tlb::cvCurrentM: {
            // Money follows from the price and the volume: re-read whichever is older.
            uint8_t volume = code == tlb::cvDozeM ? tlb::cvDozeV : tlb::cvCurrentV;
            // decisions CORE-52
            const int64_t tp = VarRecord(tlb::cvLiterPrice).tick, tv = VarRecord(volume).tick;
            ReReadVarValue(tp <= tv ? static_cast<uint8_t>(tlb::cvLiterPrice) : volume);
            return;
        }
        case tlb::cvProductivity:
            ReReadVarValue(tlb::cvTotalV);
            return;
        case tlb::cvStateWithFlags:
            SetVarRaw(code, LQ_FRESH, plat::NowLocal(), int64_t{StateWithFlags()} * kFixedOne);
            throw Exception("512A6EF6-D5E9-451E-99DF-9FE357BCF587");
        default:
            throw Exception("F3B378D9-3B9A-4DE3-A617-20DC46E2F97C " + Num(code));
    }
}

int32_t TBasicTork::StartPrecheck() {
    // The side's first nozzle carries the nozzle the side serves; it holds every nozzle of
    // the side, not only itself, or two nozzles of one side would deliver at once.
    // Every other nozzle of the side that delivers, or was started a moment ago and has not
    // shown it yet, holds this one.
    for (uint8_t n = 1, count = SideNozzleCount(); n <= count; ++n) {
        const uint32_t a = GetAddress(GetSide(), n);
        if (a == 0) break;
        TBasicTork* t = Owner().GetDevice(static_cast<int>(a));
        if (!t || t == this) continue;
        if (Delivering(t->GetState())) return mb::HostCode(mb::WriteResult::kRefused);
        if (t->start_sent_ && plat::TickDiff(plat::GetTickCount(), t->start_tick_) < kStartHoldMs)
            return mb::HostCode(mb::WriteResult::kRefused);
    }
    TBasicTork* holder = this;
    if (!HasVar(tlb::cvIndicatedPistol)) {
        holder = Owner().GetDevice(static_cast<int>(GetAddress(GetSide(), 1)));
        if (!holder || !holder->HasVar(tlb::cvIndicatedPistol)) return 0;
    }
    const int nozzle = static_cast<int>(holder->VarValue(tlb::cvIndicatedPistol) / kFixedOne);
    const uint32_t a = GetAddress(GetSide(), static_cast<uint8_t>(nozzle));
    TBasicTork* other = Owner().GetDevice(static_cast<int>(a));
    if (!other) return plat::E_FAIL;
    if (other != this && other->GetState() != tlb::csIdle)
        return mb::HostCode(mb::WriteResult::kRefused);
    return 0;
}

void TBasicTork::ApplyPendingDose() {
    // Not from inside an exchange: a 'Q' read in flight would overwrite it with the old dose.
    if (!dose_pending_ || GetState() != tlb::csIdle) return;
    dose_pending_ = false;
    SetVarRaw(tlb::cvDozeV, LQ_FRESH, plat::NowLocal(), pending_dose_);
    dose_only_stored_ = true;
}

bool TBasicTork::DoseInRange(int64_t value) {
    // No dose written yet (0), or one the variable itself refuses: the controller would be
    // started on it.
    if (!HasVar(tlb::cvDozeV)) return true;
    const TVariableInfoEx& d = Descriptor(tlb::cvDozeV);
    if (value >= d.MinValue.int64 && value <= d.MaxValue.int64) return true;
    Log("Dose " + Num(value) + " outside its range, not sent", PL_EXTERNAL);
    return false;
}

int32_t TBasicTork::WriteDose(int64_t value, int int_digits, int decimals, bool store_only,
                              bool no_start) {
    const DATE now = plat::NowLocal();
    if (store_only) {
        if (GetState() != tlb::csIdle) {
            // The controller still holds the dose of the running delivery, and its echo of it
            // must keep matching DozeV; this one takes its place when the post is idle again.
            pending_dose_ = value;
            dose_pending_ = true;
            Log("Dose " + Num(value) + " kept for the next start", PL_INFO);
            return 0;
        }
        dose_pending_ = false;
        SetVarRaw(tlb::cvDozeV, LQ_FRESH, now, value);
        dose_only_stored_ = true;
        return 0;
    }
    if (!DoseInRange(value)) return plat::OPC_E_RANGE;
    const int digits = int_digits + volume_shift_, dec = decimals - volume_shift_;
    // A dose the wire cannot carry whole is refused rather than sent cut.
    if (!FitsDecimal(digits, dec, value)) return plat::OPC_E_RANGE;
    std::string answer;
    if (!Exchange('d', FormatDecimal(digits, dec, value), false, true, kZrnMaxFrame, answer, 1))
        return -5;
    if (!no_start && IsIdle()) {
        if (!Exchange('s', "", false, true, kZrnMaxFrame, answer, 1)) return -5;
        start_tick_ = plat::GetTickCount();
        start_sent_ = true;
    }
    // DozeV shows the dose as it went out: finer than the wire's last digit (a money dose, or
    // a step below it) it is rounded there, and the write's read-back then tells the client.
    int64_t unit = 1;
    for (int i = dec; i < 4; ++i) unit *= 10;
    const int64_t sent = (value + unit / 2) / unit * unit;
    if (sent != value) Log("Dose " + Num(value) + " sent as " + Num(sent), PL_INFO);
    SetVarRaw(tlb::cvDozeV, LQ_FRESH, now, sent);
    dose_only_stored_ = false;
    return 0;
}

int32_t TBasicTork::SetState(uint8_t requested) {
    if (GetState() != own_state_) return -2;
    const int32_t s = own_state_;
    std::string answer;
    switch (requested) {
        case tlb::csWaitingKey:
            if (s == tlb::csIdle) {
                ApplyPendingDose();
                if (int32_t r = StartPrecheck(); r != 0) return r;
                return WriteDose(VarValue(tlb::cvDozeV), 3, 2, false, false);
            }
            if (s == tlb::csPaused) {
                Log("A09751B1-DBF3-4D7C-A01E-90F0D7AB60CF", PL_INFO);
                return Exchange('u', "", false, true, kZrnMaxFrame, answer, 1) ? 0 : -5;
            }
            return plat::OPC_E_RANGE;
        case tlb::csWorking: {
            if (!side_post_) {
                Log("7E528EF9-F200-4E6B-8701-41C499A6DD07", PL_EXTERNAL);
                return plat::OPC_E_RANGE;
            }
            if (s == tlb::csIdle || s == tlb::csPaused)
                if (int32_t r = SetState(tlb::csWaitingKey); r != 0) return r;
            ReReadVarValue(tlb::cvTotalV);
            if (own_state_ != tlb::csWaitingKey) {
                Log("FBD0AB73-4A1B-4E62-A467-FF2491F5D630", PL_EXTERNAL);
                return plat::OPC_E_RANGE;
            }
            return ApplyDose();
        }
        case tlb::csPaused:
            if (s == tlb::csWorking) {
                Log("DFC89E94-1906-421F-ABF9-C23C0460A271", PL_INFO);
                return Exchange('s', "", false, true, kZrnMaxFrame, answer, 1) ? 0 : -5;
            }
            return plat::OPC_E_RANGE;
        default:
            return plat::OPC_E_RANGE;
    }
}

uint8_t TBasicTork::NextRoundRobin() {
    VarSet skip;
    GetNoRefreshVars(skip);
    for (int i = 1; i <= 256; ++i) {
        uint8_t code = static_cast<uint8_t>(rr_index_ + i);
        if (skip.test(code) || !HasVar(code)) continue;
        if (Descriptor(code).RefreshClass == kRefreshNever) continue;
        rr_index_ = code;
        return code;
    }
    return rr_index_;
}

bool TBasicTork::RefreshStaleVars() {
    VarSet skip;
    GetNoRefreshVars(skip);
    VarSet stale_now;
    bool stays = false;
    for (int code = 255; code >= 0 && !stays; --code) {
        const auto c = static_cast<uint8_t>(code);
        if (skip.test(c)) continue;
        ComPtr<TVarItem> v = Var(c);
        if (!v || v->IsUpToDate(column_)) continue;
        ReReadVarValue(c);
        if (v->IsUpToDate(column_)) continue;
        if (stale_code_ == code) {
            Log("E66ADF50-ACAE-4505-87FB-584C39EDF141 " + Num(code), PL_INFO);
            stays = true;
        }
        stale_now.set(c);
    }
    // The first variable still stale on this pass is watched on the next.
    stale_code_ = -1;
    for (int code = 255; code >= 0; --code)
        if (stale_now.test(static_cast<size_t>(code))) {
            stale_code_ = code;
            break;
        }
    return stays;
}

void TBasicTork::ExecuteNextCommand() {
    if (flowing_ && plat::TickDiff(plat::GetTickCount(), flowing_tick_) > kFlowHoldMs)
        flowing_ = false;
    ApplyPendingDose();
    ComPtr<TCommand> cmd = Queue().Next();
    try {
        if (cmd) {
            const int32_t id = cmd->id.load();
            if (cmd->kind == TCommand::SetState) {
                ReReadVarValue(tlb::cvTotalV);
                if (!cmd->Expired() && !CmdIsDead(id)) {
                    Queue().Complete(SetState(static_cast<uint8_t>(cmd->argument)));
                } else {
                    Queue().Complete(-1);
                    Log("CFD45DB3-6AEA-4ABB-935F-DECF01F40633", PL_EXTERNAL);
                }
            } else {
                const auto code = static_cast<uint8_t>(cmd->argument);
                // An expired write answers as expired, not as refused.
                if (cmd->Expired() || CmdIsDead(id)) {
                    Queue().Complete(-1);
                    Log("A341A3AE-2214-4FAD-BA06-8CC044B7B283", PL_EXTERNAL);
                } else if (GetState() != tlb::csIdle && code != tlb::cvDozeV &&
                           code != tlb::cvReqS) {
                    // Settings change only on a post at rest: paused, unknown, silent or
                    // faulted posts refuse them as well as running ones.
                    Queue().Complete(-2);
                    Log("210C4ED4-F52F-4D5F-A00B-A8864F66C72A Var=" + Num(code) +
                            " Value=" + Num(cmd->value),
                        PL_EXTERNAL);
                } else {
                    int32_t r = SetVarValue(code, cmd->value);
                    // A dose kept for the next start is not in the variable yet: nothing to
                    // compare.
                    if (r == 0 && HasVar(code) && !(code == tlb::cvDozeV && dose_pending_)) {
                        if (code == 13 || code == 14 || (code >= 16 && code <= 19))
                            ReReadVarValue(code);
                        const int64_t written = cmd->value, back = VarValue(code);
                        const int64_t step = Descriptor(code).Step.int64;
                        if (MoneyVars().test(code)) {
                            // Money is volume times price: a correct read-back lies within
                            // one price step of what was written.
                            const int64_t quantum = VarValue(tlb::cvLiterPrice) * step / kFixedOne;
                            if (back == 0 ||
                                std::llabs(written - back) >= std::max<int64_t>(quantum, 1))
                                r = 1;
                        } else if (std::llabs(written - back) >= std::max<int64_t>(step, 1)) {
                            r = 1;
                        }
                    }
                    Queue().Complete(r);
                }
            }
            cycle_ = static_cast<uint8_t>((cycle_ + 1) % 10);
            if (cycle_ == 0) {
                // Writes may be answered without a status: one round-robin read in ten
                // commands keeps the post's state sampled while a client keeps its queue full.
                // decisions CORE-51
                if (const uint8_t code = NextRoundRobin(); HasVar(code)) ReReadVarValue(code);
                if (RefreshStaleVars()) PeriodicHook();
            }
            return;
        }
        const uint8_t code = NextRoundRobin();
        if (HasVar(code)) {
            refresh_status_[code] = RS_REQUESTED;
            try {
                ReReadVarValue(code);
            } catch (...) {
                refresh_status_[code] = RS_FAILED;
                throw;
            }
            ComPtr<TVarItem> v = Var(code);
            if (refresh_status_[code] == RS_REQUESTED && link_state_ == LINK_OK && v &&
                v->GetQuality() == OPC_QUALITY_GOOD && own_state_ != tlb::csCommError &&
                own_state_ != tlb::csControllerError) {
                refresh_status_[code] = RS_FAILED;
                throw Exception("CC84B03F-E229-43ED-BE52-DBF087B78E9C " + Num(code));
            }
        }
        if (!IsIdle() && RefreshStaleVars()) PeriodicHook();
    } catch (...) {
        // The command must not vanish with the cycle: its client gets an answer.
        if (Queue().Current()) Queue().Complete(plat::E_FAIL);
        throw;
    }
}

TPollPriority TBasicTork::GetPollPriority() {
    return TStateItem::GetPollPriority(static_cast<uint8_t>(column_));
}

void TBasicTork::StopBeforeRemove() {
    const int32_t s = own_state_;
    int32_t r;
    if (s == tlb::csWaitingKey) {
        Log("B043630C-4418-413C-BCB9-B4579BF7A919", PL_INFO);
        r = SetState(tlb::csIdle);
    } else if (s == tlb::csWorking) {
        Log("CEE74209-D472-4400-8E9D-FE5514DE1B8F", PL_INFO);
        r = SetState(tlb::csPaused);
    } else {
        return;
    }
    // A refused request changes nothing on the controller: waiting for it would only hold
    // the port for the whole time-out.
    if (r != 0) return;
    const uint32_t start = plat::GetTickCount();
    while (own_state_ == tlb::csWaitingKey || own_state_ == tlb::csWorking) {
        if (plat::TickDiff(plat::GetTickCount(), start) > 5000) {
            Log("712B8B47-FF57-4C6B-8B48-278BB21525AC", PL_EXTERNAL);
            return;
        }
        try {
            ReReadVarValue(tlb::cvCurrentV);
        } catch (...) {
            return;
        }
        if (!Owner().Port().IsOpen()) return;
    }
}

}  // namespace drv
