// Controllers of program families 10 and 19: up to eight nozzle positions on two sides, one
// controller address per nozzle. The base controller (position 0) knows every position's
// address; the other objects of the group copy that table from the base controller's object.
// The first nozzle of a side carries IndicatedPistol, the nozzle the side serves now.
#pragma once
#include <array>

#include "service/drivers/DriverKit.h"

namespace drv {

class TTork10 : public TTorkKit {
  public:
    explicit TTork10(const TorkCreateArgs& args) : TTorkKit(args, kWrites10) {}

    uint8_t GetSide() override;
    uint8_t GetNozzleCount() override;
    uint8_t SideNozzleCount() override;
    uint32_t GetAddress(uint8_t side, uint8_t nozzle) override;
    int32_t ApplyDose() override;
    void DefineVariables(uint8_t version) override;
    void WritePostNumbers(DATE time) override;
    void ReReadVarValue(uint8_t code) override;
    void GetNoRefreshVars(VarSet& out) override;
    void ParseReply(char status, char command, DATE time) override;

    bool IsIndicatedNozzle(bool refresh);
    uint8_t SideLetter(bool refresh);

    uint32_t NozzleAddress(int position) const { return nozzles_[static_cast<size_t>(position)]; }
    uint8_t PositionCode() const { return position_code_; }
    int DoseShift() const { return volume_shift_; }

    static const VarDef kStartStop, kIndex, kIndicatedPistol;

  protected:
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    void Define();
    void ReadIndicatedPistol();
    TTork10* FirstNozzle();

    std::array<uint32_t, 8> nozzles_{};
    uint8_t position_code_ = 0;
};

}  // namespace drv
