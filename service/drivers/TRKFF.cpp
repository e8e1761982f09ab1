#include "service/drivers/TRKFF.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/drivers/TRK46.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

constexpr uint8_t kCalibVParam = 97;
constexpr uint8_t kTemperatureParam = 163;
// decisions DRV-7
constexpr uint8_t kFullUpParam = 112;
constexpr uint8_t kFullDownParam = 114;
// decisions DRV-12
constexpr uint8_t kExceptionParam = 128;
constexpr uint8_t kReqSParam = 27;
constexpr uint8_t kPauseReasonParam = 46;
constexpr InputsLayout kInputsFF{176, 0x20, 0x10, 0x08, 0x02, 0x10};
constexpr const char* kShiftsSilent = "3E79C7F6-EAE9-47BF-890C-A96DD2E5F19E";

bool Bit(uint8_t b, int n) {
    return ((b >> n) & 1) != 0;
}

}  // namespace

const VarDef TTorkFF::kDozeV{3, "DozeV", "Заданный объем к отпуску", true, 0.01, 2000, 0.01, 0,
                             2, 0,       "Volume to load/unload"};
const VarDef TTorkFF::kCurrentV{
    6, "CurrentV", "Отпущенный объем продукта",     false, 0, 9999.99, 0.01, 0,
    5, 0,          "Loaded/unloaded product volume"};
const VarDef TTorkFF::kException{39, "Exception", "Код ошибки",    false, 0, 255, 1, 0,
                                 1,  1,           "Exception code"};
const VarDef TTorkFF::kReqS{40, "ReqS", "Заданный объемный расход", true, 0, 9999, 0.001, 0,
                            2,  1,      "Volume flow setup"};

void TTorkFF::DefineVariables(uint8_t version) {
    dose_store_only_ = false;
    has_money_ = false;
    side_post_ = true;

    // Each silent byte leaves its part at 0 and the post is made again; the rest is defined.
    uint8_t shifts = 0;
    // decisions DRV-8
    if (!DirectRead(129, shifts)) {
        link_state_ = LINK_FAILED;
        Log(kShiftsSilent, PL_EXTERNAL);
    } else if ((shifts >> 4) > 2 || (shifts & 0x0F) > 2) {
        // 2 - nibble would be negative: a price shift that wraps and steps scaled to nothing.
        link_state_ = LINK_FAILED;
        Log(std::string(kShiftsSilent) + " 129=" + Num(shifts), PL_EXTERNAL);
    } else {
        req_s_shift_ = 2 - (shifts >> 4);
        price_shift_ = static_cast<uint8_t>(2 - (shifts & 0x0F));
    }
    uint8_t volume = 0;
    if (!DirectRead(130, volume)) {
        link_state_ = LINK_FAILED;
        Log(kShiftsSilent, PL_EXTERNAL);
    } else if (volume <= 1) {
        price_shift_ = volume;
        volume_shift_ = volume;
    } else {
        volume_shift_ = volume == 2 ? 2 : req_s_shift_;
    }
    if (!DirectRead(33, config33_)) {
        link_state_ = LINK_FAILED;
        Log("45E44F5E-6022-4EAC-8793-FEB490DCDFA8", PL_EXTERNAL);
    }

    if (!Bit(config33_, 3)) DefineVar(VarRec::TemperatureHundredths);
    if (!Bit(config33_, 5)) DefineVar(VarRec::OverFill);
    if (!Bit(config33_, 2)) DefineVar(VarRec::HandleStateThreeWay);
    if (!Bit(config33_, 1)) DefineVar(VarRec::TrapState);
    if (!Bit(config33_, 0)) DefineVar(VarRec::Earthed);
    DefineUnitVar(kDozeV);
    ScaleDescriptor(tlb::cvDozeV, volume_shift_);
    DefineUnitVar(kCurrentV);
    ScaleDescriptor(tlb::cvCurrentV, volume_shift_);
    DefineVar(VarRec::TotalV);
    ScaleDescriptor(tlb::cvTotalV, volume_shift_);
    DefineVar(VarRec::Inspector);
    DefineVar(VarRec::ProductivityNeverStale);
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);
    DefineUnitVar(TTork46::kRecords[TTork46::kFullUp9900]);
    DefineUnitVar(TTork46::kRecords[TTork46::kFullDown9900]);
    // The time-out is one digit pair here: 0..99.
    DefineVar(VarRec::USSTimeout);
    DefineUnitVar(kException);
    if (version > 10) {
        DefineUnitVar(kReqS);
        ScaleDescriptor(tlb::cvReqS, req_s_shift_);
    }

    // The full-flow volumes in two pairs, the time-out in one.
    settings_ = TTork46::Settings(kFullUpParam, kFullDownParam, 2, 1);
    BuildItemNames(address_, 0, 0);
}

// --- reading --------------------------------------------------------------------------------

void TTorkFF::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvEarthed:
        case tlb::cvHandleState:
        case tlb::cvTrapState:
        case tlb::cvOverFill:
            ReadInputs(kInputsFF);
            return;
        case tlb::cvTemperature:
        case tlb::cvDensity:
            ReadTemperature46(kTemperatureParam, tlb::cvTemperature, true);
            return;
        case tlb::cvCalibV:
            ReadCalibration('X', kCalibVParam, code);
            return;
        case tlb::cvReqS:
            ReadReqS();
            return;
        case tlb::cvException: {
            uint8_t v = 0;
            if (ReadNibble('X', kExceptionParam, true, v)) StoreByteVar(code, v, AnswerTime());
            return;
        }
        default:
            ReReadByTable(code, TTork46::Counters(volume_shift_));
    }
}

void TTorkFF::ReadReqS() {
    // Four digits D.DDD in two pairs, scaled by the controller's flow decimals.
    int64_t v = 0;
    if (!AddDigitSum('X', kReqSParam, 1000, v) ||
        !AddDigitSum('X', static_cast<uint8_t>(kReqSParam + 1), 10, v))
        return;
    Log("9B94B276-44CA-42FF-9BAA-044DE01C2630 " + Num(v), PL_INFO);
    SetVarRaw(tlb::cvReqS, LQ_FRESH, AnswerTime(), v * Pow10(req_s_shift_));
}

void TTorkFF::ParseReply(char status, char, DATE time) {
    int32_t decoded = DecodeStatusLogged(kStatusFF, status);
    const int32_t post = GetState();
    const bool unsure = post == tlb::csUnknown || post == tlb::csCommError;
    if (decoded != last_reported_state_ || unsure) {
        uint8_t code = 0;
        if (DirectRead(kExceptionParam, code))
            StoreByteVar(tlb::cvException, code, time - 30.0 / 86400000.0);
    }
    // A controller exception holds the post faulted until it reads 0 again, also one that
    // the round robin read while the status stayed the same.
    if (const int64_t e = VarValue(tlb::cvException); e != 0) {
        decoded = tlb::csControllerError;
        Log("B57CB3ED-BE48-4CED-86A7-EACBE3C08BA1 " + Num(e / kFixedOne), PL_INFO);
    }
    if (unsure && decoded != tlb::csControllerError) CheckIdentity(TTork46::Identity(family_));
    if (post == tlb::csWorking && decoded == tlb::csPaused)
        ReadPauseReasons(kPauseReasonParam, time);
    CommitReported(decoded, time);
}

// --- writing --------------------------------------------------------------------------------

int32_t TTorkFF::SetState(uint8_t requested) {
    StartRules r;
    r.same_state_is_done = true;
    r.log_after_stop = true;
    r.direct = StartRules::Direct::Own;
    return SetState40(requested, r);
}

// decisions DRV-9
int32_t TTorkFF::ApplyDose() {
    return WriteDose(VarValue(tlb::cvDozeV), 4, 2, false, true);
}

// The dose (three integer digits: a dose the wire cannot carry whole is refused there) and
// the setting rows are the kit's. No money, no mass, and no calibration is offered by these
// programs.
int32_t TTorkFF::WriteVariable(uint8_t code, int64_t value) {
    if (code == tlb::cvReqS) return HasVar(code) ? WriteReqS(value) : RefuseWrite(code);
    return WriteByTable(code, value);
}

int32_t TTorkFF::WriteReqS(int64_t value) {
    // Thousandths of the unscaled setting, to the nearest.
    const int64_t unit = 10 * Pow10(req_s_shift_);
    const int64_t v = value < 0 ? -1 : (value + unit / 2) / unit;
    // The tag is the one this program has always logged here.
    Log("3ACE337A-29B3-4E54-93B7-E74FDB25A933 " + Num(v), PL_INFO);
    if (v < 0 || v > 9999) {
        Log("Value " + Num(value) + " does not fit parameter " + Num(kReqSParam), PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    if (!WriteParam(kReqSParam, ByteToBcd(static_cast<uint8_t>(v / 100))) ||
        !WriteParam(kReqSParam + 1, ByteToBcd(static_cast<uint8_t>(v % 100))))
        return mb::HostCode(mb::WriteResult::kNoAnswer);
    SetVarRaw(tlb::cvReqS, LQ_FRESH, plat::NowLocal(), v * unit);
    return 0;
}

}  // namespace drv
