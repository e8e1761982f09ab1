#include "service/drivers/TRK20.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

constexpr uint8_t kUssTimeoutRead = 214, kUssTimeoutWrite = 219;
constexpr uint8_t kPropaneParam = 40;
constexpr uint8_t kCalibParam = 42;
constexpr uint8_t kTemperatureParam = 83;
constexpr VolumeCounters kCounters{6, 8, DoseEcho::Keep, "85906CB7-DF48-47F1-A249-6D54D97C18B6 "};

}  // namespace

// One BCD pair holds 0..99: the limits say so rather than refusing 100 after the fact.
// decisions DRV-22
const VarDef TTork20::kPropanePercentage{
    21, "PropanePercentage", "Процент пропана", true, 0, 99, 1, 0, 2, 0, "Propane percentage"};

void TTork20::DefineVariables(uint8_t) {
    has_money_ = true;
    DefineVar(VarRec::DozeV);
    DefineVar(VarRec::CurrentV);
    DefineVar(VarRec::TotalV);
    DefineUnitVar(kPropanePercentage);
    // decisions DRV-23
    DefineVar(VarRec::CalibV);
    // The address parameter of these programs is not known: the address is shown, not written.
    // decisions DRV-21
    DefineVar(VarRec::AddressReadOnly);
    DefineVar(VarRec::StateWithFlags);
    DefineVar(VarRec::ProductivityNeverStale);
    DefineVar(VarRec::USSTimeout);
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);

    if (!ReadNibble('X', 35, false, config35_) || !ReadNibble('X', 36, false, config36_)) {
        link_state_ = LINK_FAILED;
        defining_ = false;
        return;
    }
    if (!(config35_ & 0x08)) DefineVar(VarRec::TemperatureWhole);
    price_shift_ = (config35_ & 0x04) ? 2 : (config36_ & 0x10) ? 1 : 0;
    DefineMoneyVariables();
    BuildItemNames(address_, 0, 0);

    settings_ = {
        {.code = tlb::cvUSSWaitTime,
         .read = SettingRead::NibbleByteVar,
         .read_param = kUssTimeoutRead,
         .write = SettingWrite::Bcd1,
         .write_param = kUssTimeoutWrite,
         .write_tag = "6D7C4020-E277-4E62-901C-15D47DEDAD1D "},
        BcdByteSetting(tlb::cvPropan, kPropaneParam, "0BBA3AAB-C1E3-4248-89A5-E211CADE8274 "),
    };
    defining_ = false;
}

void TTork20::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvCalibV:
            ReadCalibration('X', kCalibParam, code);
            return;
        case tlb::cvTemperature:
            ReadSignBcdTemperature(kTemperatureParam, code);
            return;
        default:
            ReReadByTable(code, kCounters);
    }
}

void TTork20::ParseReply(char status, char, DATE time) {
    if (ReplyWhileDefining()) return;
    int32_t decoded = DecodeStatusLogged(kStatus20, status);
    if (config35_ & 0x01) decoded = tlb::csConfigError;
    const int32_t post = GetState();
    if ((post == tlb::csUnknown || post == tlb::csCommError) && decoded != tlb::csControllerError &&
        link_state_ == LINK_OK) {
        // A controller seen again must still have the configuration the post was made for.
        IdentityRule rule;
        rule.check_firmware = false;
        rule.configs = {{35, config35_, LINK_REGISTER, nullptr, LINK_REGISTER, nullptr, PL_INFO},
                        {36, config36_, LINK_REGISTER, nullptr, LINK_REGISTER, nullptr, PL_INFO}};
        CheckIdentity(rule);
    }
    CommitReported(decoded, time);
}

}  // namespace drv
