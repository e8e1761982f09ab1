#include "service/drivers/TRK40.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

constexpr InputsLayout kInputs40{35, 0x40, 0x01, 0, 0x08, 0x01};
constexpr uint8_t kPauseReasonParam = 46;
// The totalizer has its own case (the mass is read with it).
constexpr VolumeCounters kCounters{8, 10, DoseEcho::Zero, "F13E8108-C06F-47C9-90B8-3DCC3028C4D8 "};

}  // namespace

const VarDef TTork40::kDozeV{3, "DozeV", "Заданный объем к отпуску", true, 1, 999999, 1, 0,
                             2, 0,       "Volume to load/unload"};
const VarDef TTork40::kCurrentV{
    6, "CurrentV", "Отпущенный объем продукта",     false, 0, 999999, 1, 0,
    5, 0,          "Loaded/unloaded product volume"};
const VarDef TTork40::kTotalV{9,
                              "TotalV",
                              "Фискальный сумматор продукта по объему",
                              false,
                              0,
                              99999999,
                              1,
                              0,
                              5,
                              1,
                              "Product volume totalizer"};
const VarDef TTork40::kTotalW{11,
                              "TotalW",
                              "Фискальный сумматор продукта по массе",
                              false,
                              0,
                              99999999,
                              1,
                              0,
                              5,
                              1,
                              "Product mass totalizer"};
const VarDef TTork40::kFullUp{16,
                              "FullUp",
                              "Объем продукта от начала отпуска до вкл.макс.расх.",
                              true,
                              0,
                              999,
                              1,
                              2,
                              2,
                              1,
                              "Product volume to set high flow"};
const VarDef TTork40::kFullDown{
    17, "FullDown", "Объем продукта от выкл.макс.расх. до оконч.отпуска", true, 0, 999, 1, 2,
    2,  1,          "Product volume before process end to set low flow"};
const VarDef TTork40::kAirValveTime{
    19, "AirValveTime",       "Время открытия воздушного клапана", true, 1, 99, 1, 2, 2,
    1,  "Air valve open time"};

void TTork40::DefineVariables(uint8_t version) {
    dose_store_only_ = true;
    const bool f40 = family_ == 40;
    if (family_ == 41) poll_kind = 6;
    if (f40 && version == 8) mode_ = kModeChecksumLow1;

    ParamMap& p = params_;
    if (!f40 || version >= 68) {
        p.calib_v = 77;
        p.calib_w = 80;
        p.total_v = 48;
        p.uss_timeout = 87;
        p.air_time = version >= 73 ? 98 : 97;
        p.full_up = 84;
        p.full_down = f40 ? 88 : 89;
        p.temperature = 96;
        p.address = 86;
    } else {
        p.calib_v = 57;
        p.total_v = 40;
        p.uss_timeout = 64;
        p.air_time = 80;
        p.full_up = 61;
        p.full_down = 65;
        p.temperature = 75;
        p.address = 63;
    }

    // The configuration decides the variable set; without it nothing can be defined.
    if (!DirectRead(36, config36_)) {
        link_state_ = LINK_FAILED;
        Log("45E44F5E-6022-4EAC-8793-FEB490DCDFA8", PL_EXTERNAL);
        return;
    }
    if (!DirectRead(37, config37_)) {
        link_state_ = LINK_FAILED;
        Log("6617CFE1-3CF7-48F8-AB89-1368EBDF695D", PL_EXTERNAL);
        return;
    }
    if (version == 66 || version == 67) {
        if (!DirectRead(47, config47_)) {
            link_state_ = LINK_FAILED;
            Log("AAD47C44-9930-4B29-AAF6-3DCF8120B5E3", PL_EXTERNAL);
            return;
        }
    }

    auto bit = [](uint8_t b, int n) { return ((b >> n) & 1) != 0; };
    Features& f = features_;
    f.temperature = f40 && !bit(config36_, 3);
    f.earth = !bit(config36_, 0);
    f.trap = f40 && !bit(config36_, 1);
    if (f40 && !bit(config36_, 2)) {
        if (version < 66)
            f.handle = true;
        else if (version <= 67)
            f.handle = !bit(config47_, 0);
        else
            f.handle = !bit(config37_, 5);
    }
    f.mass = f40 && version >= 68 && bit(config37_, 6);
    f.air_valve = f40;
    Log("4869F53E-6CC7-4BED-A16E-3D3D8549DB18 " + Num(f.temperature) + Num(f.earth) + Num(f.trap) +
            Num(f.handle),
        PL_INFO);

    DefineUnitVar(kDozeV);
    DefineUnitVar(kCurrentV);
    DefineUnitVar(kTotalV);
    DefineVar(VarRec::CalibV);
    DefineVar(VarRec::Inspector);
    DefineVar(VarRec::OverFill);
    DefineUnitVar(kFullUp);
    DefineUnitVar(kFullDown);
    DefineVar(VarRec::USSTimeout);
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);
    DefineVar(VarRec::StateWithFlags);
    DefineVar(VarRec::AddressWritable).MaxValue.int64 = 15 * kFixedOne;
    DefineVar(VarRec::ProductivityNeverStale);
    if (f.air_valve) DefineUnitVar(kAirValveTime);
    if (f.earth) DefineVar(VarRec::Earthed);
    if (f.handle) DefineVar(VarRec::HandleStateThreeWay);
    if (f.trap) DefineVar(VarRec::TrapState);
    if (f.temperature) {
        f.fine_temperature = version >= 73;
        DefineVar(f.fine_temperature ? VarRec::TemperatureTenths : VarRec::TemperatureWhole);
    }
    if (f.mass) {
        DefineUnitVar(kTotalW);
        DefineVar(VarRec::CalibW);
        DefineVar(VarRec::CurrentW);
    }
    dose_digits_ = version < 19 ? 5 : 6;

    settings_ = {
        {.code = tlb::cvInspector,
         .read = SettingRead::Nibble16,
         .read_param = 38,
         .read_tag = "1E903415-EC62-4B81-AFE6-2195E50B351B "},
        {.code = tlb::cvFullUp,
         .read = SettingRead::DigitSum,
         .read_param = p.full_up,
         .weight1 = 100 * kFixedOne,
         .weight2 = kFixedOne,
         .read_tag = "40DD5DCB-3734-4F67-BB12-1062565A9F72 ",
         .write = SettingWrite::Bcd2,
         .write_param = p.full_up,
         .write_tag = "F9798861-B8D9-4DAD-945D-B29409B53D59 "},
        {.code = tlb::cvFullDown,
         .read = SettingRead::DigitSum,
         .read_param = p.full_down,
         .weight1 = 100 * kFixedOne,
         .weight2 = kFixedOne,
         .read_tag = "610CF1A9-8FDC-49B4-A9F0-B8AB84D129D2 ",
         .write = SettingWrite::Bcd2,
         .write_param = p.full_down,
         .write_tag = "3ACE337A-29B3-4E54-93B7-E74FDB25A933 "},
        {.code = tlb::cvUSSWaitTime,
         .read = SettingRead::Digits,
         .read_param = p.uss_timeout,
         .read_tag = "4C87AEC4-E015-4290-BD9B-262C6925A7D2 ",
         .write = SettingWrite::Bcd1,
         .write_param = p.uss_timeout,
         .write_tag = "6A045A98-BD55-4FA7-9E67-2404D62CCB81 "},
        {.code = tlb::cvAirTime,
         .read = SettingRead::Digits,
         .read_param = p.air_time,
         .read_tag = "7A232998-9411-4190-9EE0-A3A1719D628C ",
         .write = SettingWrite::Bcd1,
         .write_param = p.air_time,
         .write_tag = "BC03BFC3-17EE-43A8-8B1F-E9690EF0F585 "},
        {.code = tlb::cvAddress,
         .write = SettingWrite::Plain,
         .write_param = p.address,
         .write_tag = "D1A262D3-A648-4D9F-A31F-908D2D010301 ",
         .address_link = LINK_FAILED},
    };
    BuildItemNames(address_, 0, 0);
}

// --- reading --------------------------------------------------------------------------------

void TTork40::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvEarthed:
        case tlb::cvHandleState:
        case tlb::cvTrapState:
        case tlb::cvOverFill:
            ReadInputs(kInputs40);
            return;
        case tlb::cvCurrentW:
            // decisions DRV-33
            if (features_.mass)
                ReReadVarValue(tlb::cvTotalW);
            else if (VarRecord(tlb::cvCurrentV).tick > VarRecord(tlb::cvDensity).tick)
                ReReadVarValue(tlb::cvDensity);
            else
                ReadCurrentVolume(8, DoseEcho::Zero);
            return;
        case tlb::cvTotalV:
        // decisions DRV-5
        case tlb::cvTotalW:
            if (features_.mass) {
                int64_t mass = 0;
                if (ReadCounter('T', 15, 10, mass)) {
                    const DATE t = AnswerTime();
                    if (mass_at_start_ == 0) mass_at_start_ = mass;
                    StoreCounter(tlb::cvTotalW, t, mass);
                    SetVarRaw(tlb::cvCurrentW, LQ_FRESH, t, mass - mass_at_start_);
                }
            }
            ReadTotalizer('S', 15, 10, tlb::cvTotalV, true);
            return;
        case tlb::cvTemperature:
        case tlb::cvDensity:
            ReadTemperature();
            return;
        case tlb::cvCalibV:
            ReadCalibration('X', params_.calib_v, code);
            return;
        case tlb::cvCalibW:
            ReadCalibration('X', params_.calib_w, code);
            return;
        default:
            ReReadByTable(code, kCounters);
    }
}

void TTork40::ReadTemperature() {
    const uint8_t p = params_.temperature;
    std::string first;
    if (!ReadParamText(p, true, first)) return;
    const uint8_t b = NibblesToByte(first.substr(1, 2));
    int64_t value = int64_t{SignBcdDegrees(b)} * kFixedOne;
    if (!features_.fine_temperature) {
        Log("9EE76A18-2B57-4E6A-95F7-A0C00339B196 " + Num(value), PL_DETAIL);
        SetVarRaw(tlb::cvTemperature, LQ_FRESH, AnswerTime(), value);
        return;
    }
    if (!AddDigitSum('X', static_cast<uint8_t>(p + 1), (b & 0x80) ? -100 : 100, value)) return;
    // The two parameters are not read at once: the whole degrees must not have moved between.
    std::string second;
    if (!ReadParamText(p, true, second) || second != first) return;
    Log("F8605A4E-670F-4DCE-A596-75FACDD83AD4 " + Num(value), PL_DETAIL);
    SetVarRaw(tlb::cvTemperature, LQ_FRESH, AnswerTime(), value);
}

void TTork40::ParseReply(char status, char, DATE time) {
    const int32_t decoded = DecodeStatusLogged(kStatus40, status);
    const int32_t post = GetState();
    if ((post == tlb::csUnknown || post == tlb::csCommError) && decoded != tlb::csControllerError) {
        IdentityRule rule = FirmwareAndFamily({40, 41});
        rule.family_tag = "6803B0D7-F9B0-49CA-A786-9C9F9DC79794";
        rule.configs = {{36, config36_, LINK_FAILED, "15A8B6FA-AB26-4444-8C4A-86B4EF5F2EF5",
                         LINK_REGISTER, "43B2F8AA-FF14-4D96-AFDA-17F50202AB2F", PL_INFO}};
        CheckIdentity(rule);
    }
    if (post == tlb::csWorking && decoded == tlb::csPaused)
        ReadPauseReasons(kPauseReasonParam, time);
    CommitReported(decoded, time);
    // Earthed is a 0..1 variable: the status bit is stored as 1.
    if (StoreByteVar(tlb::cvEarthed, (static_cast<uint8_t>(status) & 0x10) ? 1 : 0, time))
        StoreStateWithFlags(time);
}

// --- writing --------------------------------------------------------------------------------

StartRules TTork40::Rules() const {
    StartRules r;
    r.log_start_from_idle = true;
    r.dose_int_digits = dose_digits_;
    r.dose_decimals = 0;
    return r;
}

int32_t TTork40::SetState(uint8_t requested) {
    return SetState40(requested, Rules());
}

void TTork40::OnDoseStarted() {
    if (!features_.mass) return;
    ReReadVarValue(tlb::cvTotalW);
    mass_at_start_ = VarValue(tlb::cvTotalW);
}

int32_t TTork40::WriteVariable(uint8_t code, int64_t value) {
    switch (code) {
        case tlb::cvDozeV:
            // Kept until the start; a dose the 'd' request cannot carry is refused now.
            if (!FitsDecimal(dose_digits_, 0, value)) return plat::OPC_E_RANGE;
            return WriteDose(value, dose_digits_, 0, dose_store_only_, false);
        case tlb::cvCalibV:
            return WriteCalibration('x', params_.calib_v, code, value,
                                    "F4D5240C-E304-4992-813C-D1900EAC3F5D");
        case tlb::cvCalibW:
            if (!features_.mass) return RefuseWrite(code);
            return WriteCalibration('x', params_.calib_w, code, value,
                                    "3F9F6C65-7811-4382-8357-CFE2DFC0CAE5");
        case tlb::cvTotalV:
            return WriteTotalizer(params_.total_v, code, value,
                                  "12DF1060-E57E-4269-9577-0EEF1556153C ");
        case tlb::cvTotalW:
            // No mass totalizer parameters are known for these programs: writing parameters
            // 0..5 would overwrite the controller's configuration.
            return RefuseWrite(code);
        case tlb::cvAddress:
            return WriteByTable(code, value);
        default:
            // A setting row writes only where its variable is defined (AirValveTime on
            // family 40 only); no money is offered.
            if (!HasVar(code)) return RefuseWrite(code);
            return WriteByTable(code, value);
    }
}

// --- flags ----------------------------------------------------------------------------------

uint8_t TTork40::FlagsLevel() {
    const int32_t s = GetState();
    const int active =
        (s == tlb::csWaitingKey || s == tlb::csWorking || s == tlb::csPaused) ? 1 : 0;
    auto flag = [this](uint8_t code) { return VarValue(code) != 0 ? 1 : 0; };
    const int e = features_.earth ? flag(tlb::cvEarthed) : active;
    const int h =
        features_.handle ? static_cast<int>(VarValue(tlb::cvHandleState) / kFixedOne) : active;
    const int t = features_.trap ? 1 - flag(tlb::cvTrapState) : active;
    int n = (e + h + t) & 0xFF;
    if (n != 0) n += active ? 1 - flag(tlb::cvOverFill) : 1;
    if (n == 0) return 0;
    if (n == 4) return s == tlb::csWorking ? 3 : 2;
    return 1;
}

void TTork40::GetNoRefreshVars(VarSet& out) {
    TTorkKit::GetNoRefreshVars(out);
    out.set(tlb::cvEarthed);
    out.set(tlb::cvDensity);
}

}  // namespace drv
