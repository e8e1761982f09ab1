#include "service/drivers/TRK46.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

constexpr const char* kDoseV = "Заданный объем к отпуску";
constexpr const char* kCurrV = "Отпущенный объем продукта";
constexpr const char* kCurrW = "Отп. доза, кг";
constexpr const char* kTotV = "Фискальный сумматор продукта по объему";
constexpr const char* kTotW = "Фискальный сумматор продукта по массе";
constexpr const char* kUp = "Объем продукта от начала отпуска до вкл.макс.расх.";
constexpr const char* kDown = "Объем продукта от выкл.макс.расх. до оконч.отпуска";

constexpr uint8_t kInspectorParam = 72;
constexpr uint8_t kUssTimeoutParam = 108;
constexpr uint8_t kAddressParam = 96;
// decisions DRV-6
constexpr uint8_t kLabTemperatureParam = 100;
constexpr uint8_t kLabDensityParam = 102;

bool Bit(uint8_t b, int n) {
    return ((b >> n) & 1) != 0;
}

}  // namespace

// clang-format off
const VarDef TTork46::kRecords[kRecordCount] = {
    {3, "DozeV", kDoseV, true, 0.1, 9999.9, 0.1, 0, 2, 0, "Volume to load/unload"},
    {6, "CurrentV", kCurrV, false, 0, 9999.9, 0.1, 0, 5, 0, "Loaded/unloaded product volume"},
    {8, "CurrentW", kCurrW, false, 0, 9999.9, 0.1, 0, 5, 0, "Currently loaded mass"},
    {9, "TotalV", kTotV, false, 0, 9999999.9, 0.1, 0, 5, 1, "Product volume totalizer"},
    {11, "TotalW", kTotW, false, 0, 9999999.9, 0.1, 0, 5, 1, "Product mass totalizer"},
    {3, "DozeV", kDoseV, true, 0.1, 99999, 0.1, 0, 2, 0, "Volume to load/unload"},
    {6, "CurrentV", kCurrV, false, 0, 999999, 1, 0, 5, 0, "Loaded/unloaded product volume"},
    {8, "CurrentW", kCurrW, false, 0, 999999, 1, 0, 5, 0, "Currently loaded mass"},
    {9, "TotalV", kTotV, false, 0, 99999999, 1, 0, 5, 1, "Product volume totalizer"},
    {11, "TotalW", kTotW, false, 0, 99999999, 1, 0, 5, 1, "Product mass totalizer"},
    {16, "FullUp", kUp, true, 0, 99, 1, 2, 2, 1, "Product volume to set high flow"},
    {16, "FullUp", kUp, true, 0, 9900, 1, 2, 2, 1, "Product volume to set high flow"},
    {17, "FullDown", kDown, true, 0, 99, 1, 2, 2, 1,
     "Product volume before process end to set low flow"},
    {17, "FullDown", kDown, true, 0, 9900, 1, 2, 2, 1,
     "Product volume before process end to set low flow"},
    {19, "AirValveTime", "Время открытия воздушного клапана", true, 1, 99, 1, 2, 2, 1,
     "Air valve open time"},
    {64, "VCal1K", "Тар.коэфф. счетчика по объему 1", true, 1, 50, 0.001, 0, 2, 1,
     "Volume correction factor"},
    {18, "USSTimeout", "Таймаут ожидания расхода", true, 0, 9999, 1, 2, 2, 1, "Flow timeout"},
};
// clang-format on

void TTork46::DefineVariables(uint8_t) {
    const bool f90 = family_ == 90;
    calib_v_param_ = 97;
    temperature_param_ = 163;
    full_pairs_ = f90 ? 2 : 1;
    uss_pairs_ = f90 ? 1 : 2;
    full_up_param_ = f90 ? 112 : 125;
    full_down_param_ = f90 ? 114 : 126;
    fine_temperature_ = f90;
    dose_store_only_ = false;

    // A silent byte does not stop the definition: the post is made again anyway, and until
    // then it shows what the other bytes allow.
    auto read = [this](uint8_t param, uint8_t& into, const char* silent_tag) {
        if (DirectRead(param, into)) return true;
        link_state_ = LINK_FAILED;
        Log(silent_tag, PL_EXTERNAL);
        return false;
    };
    if (read(33, config33_, "C6860BD5-4B92-4FB0-9FAB-BF31F31C10FF")) {
        has_money_ = true;
        has_mass_ = (config33_ & 0x0C) == 4;
        side_post_ = Bit(config33_, 5);
    }
    if (read(35, config35_, "EA7FCFFA-AC5D-4053-9DD4-AC873E387909")) {
        has_temperature_ = !Bit(config35_, 3);
        if ((config35_ & 0x06) == 2) price_shift_ = 1;
        if ((config35_ & 0x06) == 4) price_shift_ = 2;
    }
    read(36, config36_, "24F3D09B-4E31-49EC-A78D-3F4D01A26B77");
    if (read(37, config37_, "2BCF50C2-F64B-463D-A1E2-1980412C270A")) {
        if (f90 || Bit(config37_, 6))
            volume_shift_ = 1;
        else if (Bit(config37_, 5))
            volume_shift_ = 2;
    }

    if (volume_shift_ == 1) {
        DefineUnitVar(kRecords[kDozeV1]);
        DefineUnitVar(kRecords[kCurrentV1]);
        DefineUnitVar(kRecords[kTotalV1]);
    } else if (volume_shift_ == 2) {
        DefineUnitVar(kRecords[kDozeV2]);
        DefineUnitVar(kRecords[kCurrentV2]);
        DefineUnitVar(kRecords[kTotalV2]);
    } else {
        DefineVar(VarRec::DozeV);
        DefineVar(VarRec::CurrentV);
        DefineVar(VarRec::TotalV);
    }
    DefineVar(VarRec::Inspector);
    DefineVar(VarRec::ProductivityNeverStale);
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);
    // One digit pair holds 0..99: the limits say so rather than refusing after the fact.
    DefineUnitVar(kRecords[full_pairs_ == 1 ? kFullUp99 : kFullUp9900]);
    DefineUnitVar(kRecords[full_pairs_ == 1 ? kFullDown99 : kFullDown9900]);
    if (uss_pairs_ == 1)
        DefineVar(VarRec::USSTimeout);
    else
        DefineUnitVar(kRecords[kUSSTimeout9999]);
    if (Bit(config36_, 6)) DefineVar(VarRec::CalibV);
    if (has_temperature_)
        DefineVar(fine_temperature_ ? VarRec::TemperatureHundredths : VarRec::TemperatureWhole);
    if (has_money_) DefineMoneyVariables();
    if (has_mass_) {
        DefineVar(VarRec::LabDensity);
        DefineVar(VarRec::LabTemperature);
        if (volume_shift_ == 1) {
            DefineUnitVar(kRecords[kCurrentW1]);
            DefineUnitVar(kRecords[kTotalW1]);
        } else if (volume_shift_ == 2) {
            DefineUnitVar(kRecords[kCurrentW2]);
            DefineUnitVar(kRecords[kTotalW2]);
        } else {
            DefineVar(VarRec::CurrentW);
            DefineVar(VarRec::TotalW);
        }
    }

    settings_ = Settings(full_up_param_, full_down_param_, full_pairs_, uss_pairs_);
    settings_.push_back({.code = tlb::cvLabDensity,
                         .read = SettingRead::DigitSum,
                         .read_param = kLabDensityParam,
                         .weight1 = 100,
                         .weight2 = 1,
                         .read_tag = "CEE21923-196B-4CDE-8A92-58268F30EED1 ",
                         .write = SettingWrite::Bcd2,
                         .write_param = kLabDensityParam,
                         .whole = false});
    BuildItemNames(address_, 0, 0);
}

std::vector<SettingSpec> TTork46::Settings(uint8_t full_up_param, uint8_t full_down_param,
                                           int full_pairs, int uss_pairs) {
    return {
        {.code = tlb::cvInspector,
         .read = SettingRead::Nibble16,
         .read_param = kInspectorParam,
         .read_tag = "1E903415-EC62-4B81-AFE6-2195E50B351B "},
        PairSetting(tlb::cvFullUp, full_up_param, full_pairs,
                    "40DD5DCB-3734-4F67-BB12-1062565A9F72 ",
                    "F9798861-B8D9-4DAD-945D-B29409B53D59 "),
        PairSetting(tlb::cvFullDown, full_down_param, full_pairs,
                    "610CF1A9-8FDC-49B4-A9F0-B8AB84D129D2 ",
                    "3ACE337A-29B3-4E54-93B7-E74FDB25A933 "),
        PairSetting(tlb::cvUSSWaitTime, kUssTimeoutParam, uss_pairs,
                    "B488B410-D5ED-469A-96B5-B8D140B07463 ",
                    "2EECC5FF-2309-49FD-ABD4-5A157DCB3A64 "),
        {.code = tlb::cvAddress,
         .write = SettingWrite::Plain,
         .write_param = kAddressParam,
         .write_tag = "D1A262D3-A648-4D9F-A31F-908D2D010301 ",
         .address_link = LINK_REGISTER},
    };
}

VolumeCounters TTork46::Counters(int shift) {
    return {6 + shift, 8 + shift, DoseEcho::Zero, "F13E8108-C06F-47C9-90B8-3DCC3028C4D8 "};
}

IdentityRule TTork46::Identity(uint8_t family) {
    IdentityRule rule = FirmwareAndFamily({family});
    rule.question_marks_ok = true;
    return rule;
}

// --- reading --------------------------------------------------------------------------------

void TTork46::ReReadVarValue(uint8_t code) {
    const int shift = volume_shift_;
    switch (code) {
        case tlb::cvCurrentW:
            ReadCounterVar('K', 13, 6 + shift, code, nullptr);
            return;
        case tlb::cvTotalV:
        case tlb::cvTotalW:
            if (has_mass_) ReadTotalizer('T', 15, 8 + shift, tlb::cvTotalW, false);
            ReadTotalizer('S', 15, 8 + shift, tlb::cvTotalV, true);
            return;
        case tlb::cvTemperature:
            ReadTemperature46(temperature_param_, code, fine_temperature_);
            return;
        case tlb::cvLabTemperature:
            ReadTemperature46(kLabTemperatureParam, code, true);
            return;
        case tlb::cvCalibV:
            ReadCalibration('X', calib_v_param_, code);
            return;
        default:
            ReReadByTable(code, Counters(shift));
    }
}

void TTork46::ParseReply(char status, char, DATE time) {
    int32_t decoded = DecodeStatusLogged(kStatus46, status);
    // Configurations the service cannot serve fault the post on every answer.
    if (config33_ & 0x02) {
        decoded = tlb::csControllerError;
        Log("C238BBAE-B395-47B4-B605-6ECDE9B00EC1", PL_EXTERNAL);
    }
    if (config35_ & 0x21) {
        decoded = tlb::csControllerError;
        Log("3AB373DE-B599-443F-9744-FBCF544BC81C", PL_EXTERNAL);
    }
    if (config37_ & 0x9A) {
        decoded = tlb::csControllerError;
        Log("3AB373DE-B599-443F-9744-FBCF544BC81C", PL_EXTERNAL);
    }
    const int32_t post = GetState();
    if ((post == tlb::csUnknown || post == tlb::csCommError) && decoded != tlb::csControllerError)
        CheckIdentity(Identity(family_));
    CommitReported(decoded, time);
}

// --- writing --------------------------------------------------------------------------------

int32_t TTork46::SetState(uint8_t requested) {
    StartRules r;
    r.log_after_stop = true;
    r.direct = StartRules::Direct::Base;
    return SetState40(requested, r);
}

int32_t TTork46::ApplyDose() {
    return WriteDose(VarValue(tlb::cvDozeV), 3, 2, false, true);
}

void TTork46::OnDoseStarted() {
    if (!has_mass_) return;
    ReReadVarValue(tlb::cvTotalW);
    mass_at_start_ = VarValue(tlb::cvTotalW);
}

// The dose, the money and the setting rows (FullUp, FullDown, the flow time-out, LabDensity,
// the address) are the kit's. No mass calibration parameters are known for these programs
// (CalibW is not offered), and the totalizers are not writable here.
// decisions DRV-11
int32_t TTork46::WriteVariable(uint8_t code, int64_t value) {
    switch (code) {
        case tlb::cvCalibV:
            return WriteCalibration('x', calib_v_param_, code, value,
                                    "F4D5240C-E304-4992-813C-D1900EAC3F5D");
        case tlb::cvLabTemperature:
            return has_mass_ ? WriteLabTemperature(value) : RefuseWrite(code);
        case tlb::cvLabDensity:
            if (!has_mass_) return RefuseWrite(code);
            break;
        default:
            break;
    }
    return WriteByTable(code, value);
}

int32_t TTork46::WriteLabTemperature(int64_t value) {
    // Hundredths of a degree; the sign travels as the 8 in the thousands digit.
    const int64_t t = value < 0 ? -((-value + 50) / 100) : (value + 50) / 100;
    if (t <= -8000 || t >= 8000) {
        Log("Value " + Num(t) + " does not fit parameter " + Num(kLabTemperatureParam),
            PL_EXTERNAL);
        return plat::OPC_E_RANGE;
    }
    const int64_t wire = t < 0 ? 8000 - t : t;
    if (!WriteParam(kLabTemperatureParam, ByteToBcd(static_cast<uint8_t>(wire / 100))) ||
        !WriteParam(kLabTemperatureParam + 1, ByteToBcd(static_cast<uint8_t>(wire % 100))))
        return mb::HostCode(mb::WriteResult::kNoAnswer);
    SetVarRaw(tlb::cvLabTemperature, LQ_FRESH, plat::NowLocal(), t * 100);
    return 0;
}

void TTork46::GetNoRefreshVars(VarSet& out) {
    TTorkKit::GetNoRefreshVars(out);
    out.set(tlb::cvEarthed);
    out.set(tlb::cvDensity);
}

}  // namespace drv
