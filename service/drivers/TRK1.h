// Controllers of program families 1 and 2: a dispenser with two sides of one nozzle each, one
// controller address per side. The first side's controller ('P') knows the second side's
// address (parameter 81); the second side's object ('Q') finds the first's and links both.
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTork1 : public TTorkKit {
  public:
    explicit TTork1(const TorkCreateArgs& args) : TTorkKit(args, kWrites1) {}

    uint8_t GetSide() override;
    uint32_t GetAddress(uint8_t side, uint8_t nozzle) override;
    int32_t ApplyDose() override;
    void DefineVariables(uint8_t version) override;
    void WritePostNumbers(DATE time) override;
    void ReReadVarValue(uint8_t code) override;
    void ParseReply(char status, char command, DATE time) override;

    uint32_t BaseAddress() const { return base_address_; }
    uint32_t SecondAddress() const { return second_address_; }
    char SideKind() const { return static_cast<char>(side_kind_); }
    int PriceShift() const { return price_shift_; }

  protected:
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    int32_t WriteAddressParam(int64_t value);
    void AskInspector();

    uint32_t base_address_ = 0;
    uint32_t second_address_ = 0;
    uint8_t side_kind_ = 0;
};

}  // namespace drv
