// Controllers of program families 40 and 41 (loading racks): volume in whole units, the dose
// kept until the start request, inputs for earthing, loading arm, gangway and overfill, mass
// counting on newer programs.
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTork40 : public TTorkKit {
  public:
    // What the program and its configuration bytes offer.
    struct Features {
        bool temperature = false;
        bool mass = false;
        bool earth = false;
        bool handle = false;
        bool trap = false;
        bool air_valve = false;
        bool fine_temperature = false;
    };
    // Parameter numbers of this program.
    struct ParamMap {
        uint8_t calib_v = 0, calib_w = 0, total_v = 0, total_w = 0, uss_timeout = 0, air_time = 0,
                full_up = 0, full_down = 0, temperature = 0, address = 0;
    };

    explicit TTork40(const TorkCreateArgs& args) : TTorkKit(args, kWrites40) {}

    void PeriodicHook() override { PauseWhenStale(); }
    void DefineVariables(uint8_t version) override;
    void ReReadVarValue(uint8_t code) override;
    int32_t SetState(uint8_t requested) override;
    uint8_t FlagsLevel() override;
    void GetNoRefreshVars(VarSet& out) override;
    void ParseReply(char status, char command, DATE time) override;

    const Features& GetFeatures() const { return features_; }
    const ParamMap& Params() const { return params_; }
    uint8_t DoseDigits() const { return dose_digits_; }
    int64_t MassAtStart() const { return mass_at_start_; }
    uint8_t Config36() const { return config36_; }

    // The class's own variable records (codes 3, 6, 9, 11, 16, 17, 19).
    static const VarDef kDozeV, kCurrentV, kTotalV, kTotalW, kFullUp, kFullDown, kAirValveTime;

  protected:
    void OnDoseStarted() override;
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    void ReadTemperature();
    StartRules Rules() const;

    Features features_;
    ParamMap params_;
    uint8_t dose_digits_ = 0;
    int64_t mass_at_start_ = 0;
    uint8_t config36_ = 0, config37_ = 0, config47_ = 0;
};

}  // namespace drv
