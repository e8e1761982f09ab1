// Controllers of program families 46 and 47, family 20 in versions 101 and 104 and family 90 in
// versions 1 to 3: volume with decimals (a volume shift of 0..2 places), optional money, mass
// with a laboratory density and temperature, and configuration bytes that can fault the post.
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTork46 : public TTorkKit {
  public:
    explicit TTork46(const TorkCreateArgs& args) : TTorkKit(args, kWrites40) {}

    void PeriodicHook() override { PauseWhenStale(); }
    int32_t ApplyDose() override;
    void DefineVariables(uint8_t version) override;
    void ReReadVarValue(uint8_t code) override;
    int32_t SetState(uint8_t requested) override;
    void GetNoRefreshVars(VarSet& out) override;
    void ParseReply(char status, char command, DATE time) override;

    bool HasMass() const { return has_mass_; }
    bool HasMoney() const { return has_money_; }
    bool HasTemperature() const { return has_temperature_; }
    bool FineTemperature() const { return fine_temperature_; }
    bool SidePost() const { return side_post_; }
    int VolumeShift() const { return volume_shift_; }
    int PriceShift() const { return price_shift_; }
    int FullPairs() const { return full_pairs_; }
    int UssTimeoutPairs() const { return uss_pairs_; }
    int64_t MassAtStart() const { return mass_at_start_; }

    // The class's own variable records; the FF controllers share those of their settings.
    // Records 0..4 serve volume shift 1, 5..9 shift 2.
    enum Record {
        kDozeV1,
        kCurrentV1,
        kCurrentW1,
        kTotalV1,
        kTotalW1,
        kDozeV2,
        kCurrentV2,
        kCurrentW2,
        kTotalV2,
        kTotalW2,
        kFullUp99,
        kFullUp9900,
        kFullDown99,
        kFullDown9900,
        kAirValveTime,
        kVCal1K,
        kUSSTimeout9999,
        kRecordCount
    };
    static const VarDef kRecords[kRecordCount];
    // The settings rows, the volume counters and the identity the FF controllers share.
    static std::vector<SettingSpec> Settings(uint8_t full_up_param, uint8_t full_down_param,
                                             int full_pairs, int uss_pairs);
    static VolumeCounters Counters(int shift);
    static IdentityRule Identity(uint8_t family);

  protected:
    void OnDoseStarted() override;
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    int32_t WriteLabTemperature(int64_t value);

    bool has_mass_ = false;
    bool has_temperature_ = false;
    bool fine_temperature_ = false;
    uint8_t calib_v_param_ = 0, full_up_param_ = 0, full_down_param_ = 0, temperature_param_ = 0;
    int full_pairs_ = 0, uss_pairs_ = 0;
    uint8_t config33_ = 0, config35_ = 0, config36_ = 0, config37_ = 0;
    int64_t mass_at_start_ = 0;
};

}  // namespace drv
