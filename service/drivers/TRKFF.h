// Controllers of program family 90 from version 4: decimal places reported in parameters, an
// exception code that faults the post, a volume-flow setting, the inputs in one parameter;
// volume only (no money, no mass).
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTorkFF : public TTorkKit {
  public:
    explicit TTorkFF(const TorkCreateArgs& args) : TTorkKit(args, kWrites40) {}

    void PeriodicHook() override { PauseWhenStale(); }
    int32_t ApplyDose() override;
    void DefineVariables(uint8_t version) override;
    void ReReadVarValue(uint8_t code) override;
    int32_t SetState(uint8_t requested) override;
    void ParseReply(char status, char command, DATE time) override;

    int VolumeShift() const { return volume_shift_; }
    int PriceShift() const { return price_shift_; }
    int ReqSShift() const { return req_s_shift_; }
    uint8_t Config33() const { return config33_; }

    static const VarDef kDozeV, kCurrentV, kException, kReqS;

  protected:
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    int32_t WriteReqS(int64_t value);
    void ReadReqS();

    int req_s_shift_ = 0;
    uint8_t config33_ = 0;
};

}  // namespace drv
