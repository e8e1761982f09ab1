#include "service/drivers/DriverKit.h"

#include <array>
#include <cstdlib>

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

using tlb::csIdle, tlb::csWaitingKey, tlb::csWorking, tlb::csPaused;

constexpr StatusRow kRows40[] = {{0x01, csIdle},      {0x02, csWorking},    {0x05, csPaused},
                                 {0x08, csPaused},    {0x20, csWaitingKey}, {0x22, csWorking},
                                 {0x60, csWaitingKey}};
// Bit 4 with the idle pattern means the key is armed; 0x02 is no state of theirs.
constexpr StatusRow kRows46[] = {{0x01, csIdle, 0x10, csWaitingKey},
                                 {0x05, csPaused},
                                 {0x08, csPaused},
                                 {0x20, csWaitingKey},
                                 {0x22, csWorking},
                                 {0x60, csWaitingKey}};
constexpr StatusRow kRowsFF[] = {{0x01, csIdle},      {0x05, csIdle},       {0x08, csPaused},
                                 {0x0C, csPaused},    {0x20, csWaitingKey}, {0x22, csWorking},
                                 {0x60, csWaitingKey}};
constexpr StatusRow kRows20[] = {{0x01, csIdle},      {0x02, csWorking},    {0x05, csPaused},
                                 {0x08, csPaused},    {0x20, csWaitingKey}, {0x22, csWorking},
                                 {0x60, csWaitingKey}};

constexpr const char* kUnknownStatus = "97388800-4E60-4326-A2AD-BC7E0EB175D2 ";

constexpr StatusBit kBits[] = {
    {0x04, csPaused}, {0x01, csIdle}, {0x02, csWorking}, {0x20, csWaitingKey}, {0x08, csPaused}};

bool IsRunning(int32_t s) {
    return s == csWaitingKey || s == csWorking || s == csPaused;
}

// The numbers clients compare against: the drivers answer them by name.
// decisions DRV-34
static_assert(mb::HostCode(mb::WriteResult::kNotIdle) == tlb::E_INCOMPATIBLESTATE);
static_assert(mb::HostCode(mb::WriteResult::kBadVariable) == tlb::E_BADVARIABLE);
static_assert(mb::HostCode(mb::WriteResult::kNoAnswer) == tlb::E_NOANSWER);
static_assert(mb::HostCode(mb::WriteResult::kStaleVariables) == tlb::E_BAD_QUALITY_ON_SET_DOZE);

}  // namespace

const WriteTags kWrites40{"6CB8E884-B173-45D1-B93F-CD48D0AB5330",
                          "F1ACEF12-E657-458D-8E62-6B4E3273A9F3 "};
const WriteTags kWrites1{"3546B444-FF5C-4A8F-A860-C1F510246B8E"};
const WriteTags kWrites10{"7FBAB471-892B-4B3B-94F1-30E954C4E3F5"};
const WriteTags kWrites30{"D7B9A2F7-ED61-475D-A2C1-85CA8F523F1A"};

const StatusTable kStatus40{kRows40, 0x6F, kUnknownStatus};
const StatusTable kStatus46{kRows46, 0x6F, kUnknownStatus};
const StatusTable kStatusFF{kRowsFF, 0x6F, kUnknownStatus};
const StatusTable kStatus20{kRows20, 0x6F, "1DE0D106-ACCA-484B-A945-F12C29F6CA81 "};
const std::span<const StatusBit> kStatusBitOrder{kBits};

bool DecodeStatus(const StatusTable& table, uint8_t status, int32_t& state) {
    const uint8_t s = status & table.mask;
    for (const StatusRow& r : table.rows)
        if (r.masked == s) {
            state = (status & r.alt_bits) ? r.alt_state : r.state;
            return true;
        }
    state = tlb::csControllerError;
    return false;
}

bool DecodeStatusBits(std::span<const StatusBit> order, uint8_t status, int32_t& state) {
    for (const StatusBit& b : order)
        if (status & b.mask) {
            state = b.state;
            return true;
        }
    state = tlb::csControllerError;
    return false;
}

int64_t Pow10(int n) {
    int64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

SettingSpec PairSetting(uint8_t code, uint8_t param, int pairs, const char* read_tag,
                        const char* write_tag) {
    SettingSpec s{.code = code,
                  .read = SettingRead::DigitSum,
                  .read_param = param,
                  .weight1 = kFixedOne,
                  .read_tag = read_tag,
                  .write = SettingWrite::Bcd1,
                  .write_param = param,
                  .write_tag = write_tag};
    if (pairs == 2) {
        s.weight1 = 100 * kFixedOne;
        s.weight2 = kFixedOne;
        s.write = SettingWrite::Bcd2;
    }
    return s;
}

SettingSpec BcdByteSetting(uint8_t code, uint8_t param, const char* write_tag) {
    return {.code = code,
            .read = SettingRead::DigitByteVar,
            .read_param = param,
            .write = SettingWrite::Bcd1,
            .write_param = param,
            .write_tag = write_tag};
}

int SignBcdDegrees(uint8_t b) {
    const int magnitude = 10 * ((b & 0x7F) >> 4) + (b & 0x0F);
    return (b & 0x80) ? -magnitude : magnitude;
}

// --- definition ------------------------------------------------------------------------------

TVariableInfoEx& TTorkKit::DefineUnitVar(const VarDef& def) {
    TVariableInfoEx& slot = (*descriptors_)[def.code];
    slot = MakeVariableInfo(def);
    return slot;
}

void TTorkKit::DefineSideVars() {
    for (VarRec r : {VarRec::BasePost, VarRec::Side, VarRec::PriceVCents, VarRec::DozeV,
                     VarRec::DozeM, VarRec::CurrentV, VarRec::CurrentM, VarRec::TotalV,
                     VarRec::CalibV, VarRec::StateWithFlags, VarRec::ProductivityNeverStale})
        DefineVar(r);
}

void TTorkKit::DefineDispenserVars() {
    for (VarRec r : {VarRec::USSTimeout, VarRec::Inspector, VarRec::FullDown,
                     VarRec::ControllerVersion, VarRec::FirmwareVersion})
        DefineVar(r);
}

void TTorkKit::ScaleDescriptor(uint8_t code, int shift) {
    TVariableInfoEx& d = (*descriptors_)[code];
    const int64_t f = Pow10(shift);
    d.MinValue.int64 *= f;
    d.MaxValue.int64 *= f;
    d.Step.int64 *= f;
}

// --- state -----------------------------------------------------------------------------------

int32_t TTorkKit::DecodeStatusLogged(const StatusTable& table, char status) {
    int32_t state = tlb::csControllerError;
    if (!DecodeStatus(table, static_cast<uint8_t>(status), state))
        Log(std::string(table.unknown_tag) + status, PL_EXTERNAL);
    return state;
}

int32_t TTorkKit::DecodeStatusBitsLogged(char status, const char* unknown_tag) {
    int32_t state = tlb::csControllerError;
    if (!DecodeStatusBits(kStatusBitOrder, static_cast<uint8_t>(status), state))
        Log(std::string(unknown_tag) + status, PL_EXTERNAL);
    return state;
}

int32_t TTorkKit::CommitReported(int32_t decoded, DATE time) {
    last_reported_state_ = decoded;
    int32_t state = decoded;
    const int32_t post = GetState();
    // While product flows an idle report of a working post is a controller that finished its
    // count early. A post waiting or paused has no delivery under way: its idle report stands.
    // decisions DRV-32
    if (hold_state_ && decoded == csIdle && post == csWorking) state = post;
    if (link_state_ == LINK_OK) SetStateValue(state, time);
    if (state == csIdle) hold_state_ = false;
    return state;
}

bool TTorkKit::DirectRead(uint8_t param, uint8_t& value, std::string* text) {
    std::string data;
    if (!Owner().Port().ReadParam(address_, param, mode_, false, value, &data) || data.size() < 3)
        return false;
    if (text) *text = data;
    return true;
}

bool TTorkKit::CheckIdentity(const IdentityRule& rule) {
    if (rule.start_tag) Log(rule.start_tag, PL_INFO);
    if (rule.check_firmware) {
        uint8_t fw = 0;
        if (!DirectRead(149, fw)) fw = 0;
        if (int64_t{fw} * kFixedOne != VarValue(tlb::cvFirmwareVersion)) {
            link_state_ = LINK_FAILED;
            if (rule.firmware_tag) Log(rule.firmware_tag, PL_EXTERNAL);
            return true;
        }
    }
    if (!rule.families.empty()) {
        uint8_t raw = 0;
        std::string text;
        uint8_t family = 0;
        if (DirectRead(148, raw, &text)) family = DigitsToByte(text.substr(1, 2));
        bool known = false;
        for (uint8_t f : rule.families) known = known || f == family;
        if (!known && rule.question_marks_ok && text.size() >= 3 && text.substr(1, 2) == "??")
            known = true;
        if (!known) {
            link_state_ = LINK_FAILED;
            if (rule.family_tag) Log(rule.family_tag, PL_EXTERNAL);
            return true;
        }
    }
    for (const IdentityRule::Config& c : rule.configs) {
        uint8_t v = 0;
        if (!DirectRead(c.param, v)) {
            link_state_ = c.silent_link;
            if (c.silent_tag) Log(c.silent_tag, PL_EXTERNAL);
            return true;
        }
        if (v != c.expected) {
            link_state_ = c.changed_link;
            if (c.changed_tag) Log(c.changed_tag, c.changed_level);
            return true;
        }
    }
    return false;
}

IdentityRule TTorkKit::FirmwareAndFamily(std::vector<uint8_t> families) {
    IdentityRule rule;
    rule.start_tag = "D755F4EB-E83E-4B35-93A2-69CE0E6A4BFE";
    rule.firmware_tag = "0964A981-FBEA-4783-96E4-46C12F712225";
    rule.families = std::move(families);
    return rule;
}

int32_t TTorkKit::SetState40(uint8_t requested, const StartRules& rules) {
    const int32_t state = GetState();
    if (rules.same_state_is_done && (requested == last_reported_state_ || requested == state)) {
        Log("6DE14883-B49A-43A1-B6F4-5391778F4E75", PL_INFO);
        return 0;
    }
    // A request made against a state the controller no longer reports would act on the
    // wrong dose.
    if (state != last_reported_state_ && requested != csIdle) {
        Log("127606D2-A89C-4641-A601-4EA2715CC80C", PL_INFO);
        return mb::HostCode(mb::WriteResult::kNotIdle);
    }
    switch (requested) {
        case csWaitingKey:
            if (state == csIdle) ApplyPendingDose();
            // decisions DRV-1
            if (state == csIdle && !DoseInRange(VarValue(tlb::cvDozeV))) return plat::OPC_E_RANGE;
            if (RefreshStaleVars()) {
                Log("2D5B68AC-38BF-439F-AEBE-BB1BB291D03F " + Num(PostNumber()), PL_EXTERNAL);
                return mb::HostCode(mb::WriteResult::kStaleVariables);
            }
            if (state == csIdle) {
                if (rules.log_start_from_idle) Log("717CEE8B-D449-4CB5-B446-1799BABF4852", PL_INFO);
                // No 's' after the dose: the dispenser's key starts it.
                // decisions CORE-28, DRV-3
                const int32_t r = WriteDose(VarValue(tlb::cvDozeV), rules.dose_int_digits,
                                            rules.dose_decimals, false, true);
                if (r == 0) OnDoseStarted();
                return r;
            }
            if (state == csPaused) {
                Log("234CC027-E8A2-42A4-946E-C7ADD63D0C0F", PL_INFO);
                return ExchangeAck('u', "") ? 0 : mb::HostCode(mb::WriteResult::kNoAnswer);
            }
            return plat::OPC_E_RANGE;
        case csPaused: {
            if (state != csWorking) return plat::OPC_E_RANGE;
            if (!rules.log_after_stop) Log("40281064-27CC-46E0-B232-E8FFD0B91304", PL_INFO);
            const bool ok = ExchangeAck('s', "");
            if (rules.log_after_stop && ok) Log("40281064-27CC-46E0-B232-E8FFD0B91304", PL_INFO);
            return ok ? 0 : mb::HostCode(mb::WriteResult::kNoAnswer);
        }
        case csWorking:
            if (rules.direct == StartRules::Direct::Base) return TBasicTork::SetState(csWorking);
            if (rules.direct == StartRules::Direct::Own) {
                if (state == csIdle || state == csPaused)
                    if (int32_t r = SetState(csWaitingKey); r != 0) return r;
                ReReadVarValue(tlb::cvTotalV);
                if (GetState() != csWaitingKey) {
                    Log("FBD0AB73-4A1B-4E62-A467-FF2491F5D630", PL_EXTERNAL);
                    return plat::OPC_E_RANGE;
                }
                return ExchangeAck('u', "") ? 0 : mb::HostCode(mb::WriteResult::kNoAnswer);
            }
            break;
        default:
            break;
    }
    Log("7A0AA635-804E-4AF3-B5ED-D2347C0E5E18", PL_EXTERNAL);
    return plat::OPC_E_RANGE;
}

void TTorkKit::PauseWhenStale() {
    if (GetState() != csWorking) return;
    SetState(csPaused);
    // decisions DRV-2
    Log("4E4CCDE9-CDF2-413E-894E-C3A605EAC931", PL_EXTERNAL);
}

// --- exchanges ------------------------------------------------------------------------------

bool TTorkKit::ExchangeAck(char command, std::string_view data, bool quiet) {
    std::string answer;
    return Exchange(static_cast<uint8_t>(command), data, quiet, true, kZrnMaxFrame, answer, 1);
}

bool TTorkKit::ReadParamText(uint8_t param, bool parse, std::string& answer) {
    return Exchange('X', ByteToNibbles(param), false, parse, kZrnMaxFrame, answer, 9) &&
           answer.size() >= 3;
}

bool TTorkKit::WriteParam(uint8_t param, uint8_t byte, bool quiet) {
    return ExchangeAck('x', ByteToNibbles(param) + ByteToNibbles(byte), quiet);
}

void TTorkKit::AskRefresh(uint8_t code) {
    if (ComPtr<TVarItem> v = Var(code)) v->RequestRefresh();
}

void TTorkKit::StoreStateWithFlags(DATE time) {
    SetVarRaw(tlb::cvStateWithFlags, LQ_FRESH, time, int64_t{StateWithFlags()} * kFixedOne);
}

// --- settings --------------------------------------------------------------------------------

bool TTorkKit::ReplyWhileDefining() {
    if (!defining_) return false;
    Log("D3BB70BB-B4DC-4608-B1BF-AB3CA7B51B90", PL_CRITICAL);
    return true;
}

void TTorkKit::ReReadByTable(uint8_t code, const VolumeCounters& counters) {
    switch (code) {
        case tlb::cvDozeV:
            if (dose_only_stored_) {
                // Nothing was sent: the controller knows no dose yet.
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), VarValue(code));
                return;
            }
            ReadCounterVar('Q', 13, counters.dose_dec, code, counters.dose_tag);
            return;
        case tlb::cvCurrentV:
            ReadCurrentVolume(counters.dose_dec, counters.echo);
            return;
        case tlb::cvTotalV:
            ReadTotalizer('S', 15, counters.total_dec, code, true);
            return;
        case tlb::cvBasePost:
        case tlb::cvSidePost:
        case tlb::cvSide:
        case tlb::cvPistol:
            // Computed, not read: stored again so that the round-robin finds them fresh.
            // decisions DRV-14, DRV-19
            if (!HasVar(code)) break;
            WritePostNumbers(plat::NowLocal());
            return;
        default:
            break;
    }
    if (const SettingSpec* s = FindSetting(code); s && s->read != SettingRead::None) {
        ReadSetting(*s);
        return;
    }
    TBasicTork::ReReadVarValue(code);
}

const SettingSpec* TTorkKit::FindSetting(uint8_t code) const {
    for (const SettingSpec& s : settings_)
        if (s.code == code) return &s;
    return nullptr;
}

bool TTorkKit::ReadSetting(const SettingSpec& s) {
    int64_t value = 0;
    switch (s.read) {
        case SettingRead::None:
            return false;
        case SettingRead::NibbleByteVar:
            return ReadNibbleByteVar(s.read_param, s.code);
        case SettingRead::DigitByteVar:
            return ReadDigitByteVar(s.read_param, s.code);
        case SettingRead::Nibble16: {
            uint8_t hi = 0, lo = 0;
            if (!ReadNibble('X', s.read_param, true, hi) ||
                !ReadNibble('X', static_cast<uint8_t>(s.read_param + 1), true, lo))
                return false;
            value = (int64_t{hi} * 256 + lo) * kFixedOne;
            break;
        }
        case SettingRead::Digits: {
            uint8_t v = 0;
            if (!ReadDigits('X', s.read_param, v)) return false;
            value = int64_t{v} * kFixedOne;
            break;
        }
        case SettingRead::DigitSum:
            if (!AddDigitSum('X', s.read_param, s.weight1, value)) return false;
            if (s.weight2 != 0 &&
                !AddDigitSum('X', static_cast<uint8_t>(s.read_param + 1), s.weight2, value))
                return false;
            if (s.whole) value = WholeUnits(value) * kFixedOne;
            break;
    }
    value *= Pow10(s.scale);
    if (s.read_tag) Log(s.read_tag + Num(s.whole ? value / kFixedOne : value), PL_INFO);
    SetVarRaw(s.code, LQ_FRESH, AnswerTime(), value);
    return true;
}

int32_t TTorkKit::WriteSetting(const SettingSpec& s, int64_t value) {
    const int64_t v = s.whole ? WholeUnits(value) : value;
    if (s.write_tag) Log(s.write_tag + Num(v), PL_INFO);
    const int64_t wire = v / Pow10(s.scale);
    const int64_t limit = s.write == SettingWrite::Plain  ? 255
                          : s.write == SettingWrite::Bcd1 ? 99
                                                          : 9999;
    // A value the parameters cannot hold is refused rather than written cut.
    if (s.write == SettingWrite::None || wire < 0 || wire > limit || wire * Pow10(s.scale) != v) {
        Log("Value " + Num(v) + " does not fit parameter " + Num(s.write_param), PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    bool ok;
    switch (s.write) {
        case SettingWrite::Plain:
            ok = WriteParam(s.write_param, static_cast<uint8_t>(wire));
            break;
        case SettingWrite::Bcd1:
            ok = WriteParam(s.write_param, ByteToBcd(static_cast<uint8_t>(wire)));
            break;
        default:
            ok = WriteParam(s.write_param, ByteToBcd(static_cast<uint8_t>(wire / 100))) &&
                 WriteParam(static_cast<uint8_t>(s.write_param + 1),
                            ByteToBcd(static_cast<uint8_t>(wire % 100)));
            break;
    }
    if (!ok) return mb::HostCode(mb::WriteResult::kNoAnswer);
    if (SetVarRaw(s.code, LQ_FRESH, plat::NowLocal(), s.whole ? v * kFixedOne : v))
        AskRefresh(tlb::cvInspector);
    return 0;
}

int32_t TTorkKit::WriteAddress(const SettingSpec& s, int64_t value) {
    const int64_t v = WholeUnits(value);
    // The new address must be one the port polls.
    if (v < 1 || v >= kZrnAddresses) {
        if (s.write_tag) Log(s.write_tag + Num(v), PL_INFO);
        return plat::OPC_E_RANGE;
    }
    const int32_t r = WriteSetting(s, value);
    if (r != 0) return r;
    link_state_ = s.address_link;
    Owner().RegisterAddress(static_cast<int>(v));
    return 0;
}

// --- the write path -------------------------------------------------------------------------

// decisions DRV-35
int32_t TTorkKit::SetVarValue(uint8_t code, int64_t value) {
    try {
        return WriteVariable(code, value);
    } catch (...) {
        if (write_tags_.fault_tag) Log(write_tags_.fault_tag, PL_CRITICAL);
        return plat::E_FAIL;
    }
}

int32_t TTorkKit::WriteByTable(uint8_t code, int64_t value) {
    switch (code) {
        case tlb::cvDozeV:
            // decisions DRV-3
            return WriteDose(value, 3, 2, dose_store_only_, false);
        case tlb::cvDozeM:
            if (!has_money_) break;
            return SetDoseByMoney(value);
        case tlb::cvLiterPrice:
            if (!has_money_) break;
            return WritePrice(value);
        default:
            if (const SettingSpec* s = FindSetting(code); s && s->write != SettingWrite::None)
                return s->address_link != LINK_OK ? WriteAddress(*s, value)
                                                  : WriteSetting(*s, value);
            break;
    }
    return RefuseWrite(code);
}

int32_t TTorkKit::RefuseWrite(uint8_t code) {
    if (write_tags_.unknown_tag) Log(write_tags_.unknown_tag + Num(code), PL_CRITICAL);
    return mb::HostCode(mb::WriteResult::kBadVariable);
}

// --- calibration and totalizers -------------------------------------------------------------

bool TTorkKit::ReadCalibration(char command, uint8_t param, uint8_t code) {
    int64_t value = 0;
    if (!ReadCalib(command, param, value)) return false;
    SetVarRaw(code, LQ_FRESH, AnswerTime(), value);
    return true;
}

int32_t TTorkKit::WriteCalibrationPairs(char command, uint8_t param, int64_t value) {
    // Thousandths: DDD.DDD in three pairs.
    const int64_t n = (value + 5) / 10;
    if (value < 0 || n > 999999) {
        Log("Value " + Num(value) + " does not fit parameter " + Num(param), PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    Log("0E670636-6C3C-48E2-ABD3-3C201185951B " + Num(n), PL_INFO);
    // Rounding the fourth decimal carried into the units pair.
    if ((n / 100) % 100 != (value / 1000) % 100)
        Log("1DE9DE5C-68DC-4182-A50C-01C6EA082AC0", PL_INFO);
    // The units pair goes first: the controller never holds a factor far from both the old
    // and the new one while the pairs change.
    const std::pair<int, int64_t> order[3] = {{1, n / 100 % 100}, {0, n / 10000}, {2, n % 100}};
    for (const auto& [offset, pair] : order) {
        std::string answer;
        const std::string data = ByteToNibbles(static_cast<uint8_t>(param + offset)) +
                                 ByteToNibbles(ByteToBcd(static_cast<uint8_t>(pair)));
        if (!Exchange(static_cast<uint8_t>(command), data, false, true, kZrnMaxFrame, answer, 1))
            return mb::HostCode(mb::WriteResult::kNoAnswer);
    }
    return 0;
}

int32_t TTorkKit::CheckCalibration(uint8_t code, int64_t value, const char* mismatch_tag) {
    ReReadVarValue(code);
    const int64_t back = VarValue(code);
    if ((back + 5) / 10 != (value + 5) / 10) {
        Log(mismatch_tag, PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    return 0;
}

int32_t TTorkKit::WriteCalibration(char command, uint8_t param, uint8_t code, int64_t value,
                                   const char* mismatch_tag) {
    if (const int32_t r = WriteCalibrationPairs(command, param, value); r != 0) return r;
    return CheckCalibration(code, value, mismatch_tag);
}

int32_t TTorkKit::WriteTotalizer(uint8_t param, uint8_t code, int64_t value, const char* tag,
                                 TotalizerLayout layout) {
    Log(tag + Num(value), PL_INFO);
    const int64_t units = layout.whole ? WholeUnits(value) * kFixedOne : value;
    const int64_t n = units * Pow10(layout.decimals - 4);
    if (units < 0 || n >= Pow10(12)) {
        Log("Value " + Num(value / kFixedOne) + " does not fit parameter " + Num(param),
            PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    for (int i = 0; i < 6; ++i) {
        const int64_t pair = n / Pow10(10 - 2 * i) % 100;
        if (!ExchangeAck('x', "6052", true)) return mb::HostCode(mb::WriteResult::kNoAnswer);
        if (!WriteParam(static_cast<uint8_t>(param + i), ByteToBcd(static_cast<uint8_t>(pair)),
                        true))
            return mb::HostCode(mb::WriteResult::kNoAnswer);
    }
    AskRefresh(code);
    AskRefresh(tlb::cvInspector);
    return 0;
}

// --- counters -------------------------------------------------------------------------------

TVarValue TTorkKit::CounterRecord(uint8_t code) {
    TVarValue r = VarRecord(code);
    if (counter_tick_[code] != 0) {
        r.time = counter_time_[code];
        r.tick = counter_tick_[code];
    }
    return r;
}

void TTorkKit::StoreCounter(uint8_t code, DATE time, int64_t value) {
    SetVarRaw(code, LQ_FRESH, time, value);
    counter_time_[code] = time;
    // The read's own moment on the monotonic clock: the flow is volume over that interval.
    // decisions DRV-33
    counter_tick_[code] = static_cast<int64_t>(last_good_tick_);
}

void TTorkKit::SafeFlowUpdate(const TVarValue& old_value, const TVarValue& new_value) {
    // Two reads within one clock tick carry no rate.
    if (old_value.tick == new_value.tick && new_value.value != 0 &&
        old_value.value <= new_value.value && old_value.link_quality == LQ_FRESH &&
        new_value.link_quality == LQ_FRESH)
        return;
    FlowUpdate(old_value, new_value);
}

bool TTorkKit::ReadCounterVar(char command, int expected, int dec_pos, uint8_t code,
                              const char* tag) {
    int64_t v = 0;
    if (!ReadCounter(command, expected, dec_pos, v)) return false;
    if (tag) Log(tag + Num(v), PL_INFO);
    SetVarRaw(code, LQ_FRESH, AnswerTime(), v);
    return true;
}

bool TTorkKit::ReadCurrentVolume(int dec_pos, DoseEcho echo) {
    TVarValue old_value = CounterRecord(tlb::cvCurrentV);
    int64_t volume = 0;
    if (!ReadCounter('D', 13, dec_pos, volume)) return false;
    const DATE t = AnswerTime();
    const int32_t state = GetState();
    const int64_t dose = VarValue(tlb::cvDozeV);
    // Some programs show the dose as the dispensed volume while the key is awaited.
    if (echo == DoseEcho::Zero && state == csWaitingKey && volume == dose) volume = 0;
    StoreCounter(tlb::cvCurrentV, t, volume);
    TVarValue new_value = CounterRecord(tlb::cvCurrentV);
    if (state == csWaitingKey && new_value.value == dose) {
        old_value.value = 0;
        new_value.value = 0;
    }
    if (echo == DoseEcho::Keep || IsRunning(state)) SafeFlowUpdate(old_value, new_value);
    return true;
}

bool TTorkKit::ReadTotalizer(char command, int expected, int dec_pos, uint8_t code, bool flow) {
    const TVarValue old_value = CounterRecord(code);
    int64_t v = 0;
    if (!ReadCounter(command, expected, dec_pos, v)) return false;
    StoreCounter(code, AnswerTime(), v);
    if (flow) SafeFlowUpdate(old_value, CounterRecord(code));
    return true;
}

// --- temperature ---------------------------------------------------------------------------

bool TTorkKit::ReadTemperature46(uint8_t param, uint8_t code, bool fine) {
    uint8_t b = 0;
    if (!ReadNibble('X', param, true, b)) return false;
    const DATE t = AnswerTime();
    int64_t value = int64_t{SignBcdDegrees(b)} * kFixedOne;
    uint8_t c = 0;
    if (fine && ReadNibble('X', static_cast<uint8_t>(param + 1), true, c)) {
        // The hundredths byte is plain BCD: its bit 7 is the digit 8 or 9, not a sign.
        const int64_t h = int64_t{10 * (c >> 4) + (c & 0x0F)} * kFixedOne / 100;
        value += (b & 0x80) ? -h : h;
    }
    SetVarRaw(code, LQ_FRESH, t, value);
    return true;
}

// --- inputs ------------------------------------------------------------------------------------

bool TTorkKit::ReadInputs(const InputsLayout& l) {
    uint8_t b = 0;
    if (!ReadNibble('X', l.param, true, b)) return false;
    Log("9FC79164-59C2-4581-B533-BBE184980BE2 " + Num(b), PL_DETAIL);
    const DATE t = AnswerTime();
    // The variables are 0..1 (HandleState 0..2): a flag is stored as 1, not as its mask.
    bool changed = false;
    if (l.overfill) changed |= StoreByteVar(tlb::cvOverFill, (b & l.overfill) ? 1 : 0, t);
    if (l.trap) changed |= StoreByteVar(tlb::cvTrapState, (b & l.trap) ? 1 : 0, t);
    if (l.earth) changed |= StoreByteVar(tlb::cvEarthed, (b & l.earth) ? 1 : 0, t);
    if (l.handle_one || l.handle_two)
        changed |= StoreByteVar(tlb::cvHandleState,
                                (b & l.handle_one)   ? 1
                                : (b & l.handle_two) ? 2
                                                     : 0,
                                t);
    if (changed) StoreStateWithFlags(t);
    return true;
}

void TTorkKit::ReadPauseReasons(uint8_t param, DATE time) {
    uint8_t b = 0;
    if (!ReadNibble('X', param, false, b)) return;
    Log("75630677-8505-44FD-B35E-876CB3620065 " + Num(b), PL_INFO);
    // The reasons are older than the pause that reports them.
    const DATE t = time - 30.0 / 86400000.0;
    if (b & 0x01) StoreByteVar(tlb::cvEarthed, 0, t);
    if (b & 0x02) StoreByteVar(tlb::cvOverFill, 1, t);
    if (b & 0x10) StoreByteVar(tlb::cvHandleState, 0, t);
    if (b != 0) {
        StoreStateWithFlags(time);
        plat::Sleep(50);
    }
}

}  // namespace drv
