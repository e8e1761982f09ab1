// Controllers of program family 20 in version 78 (the later versions are TTork46's): one side,
// one nozzle, price and money dose, volume totalizer, flow time-out, an optional temperature
// and the propane percentage.
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTork20 : public TTorkKit {
  public:
    // Its writes are the kit's: the dose, the money, the flow time-out and the propane rows.
    // CalibV, the address and the totalizer are not written by this class.
    explicit TTork20(const TorkCreateArgs& args) : TTorkKit(args, kWrites1) {}

    void DefineVariables(uint8_t version) override;
    void ReReadVarValue(uint8_t code) override;
    void ParseReply(char status, char command, DATE time) override;

    uint8_t Config35() const { return config35_; }
    uint8_t Config36() const { return config36_; }
    int PriceShift() const { return price_shift_; }

    static const VarDef kPropanePercentage;

  private:
    uint8_t config35_ = 0, config36_ = 0;
};

}  // namespace drv
