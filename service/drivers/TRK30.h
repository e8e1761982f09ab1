// Controllers of program families 30 and 32: counters that only report. The service reads the
// dispensed volume, the totalizer, the flow, the counter type and (on some versions) the
// temperature, and derives the post's state from them; no state request is carried out and
// the bus address is the one parameter written. Their answers come from address 0x80 + a.
#pragma once
#include "service/drivers/DriverKit.h"

namespace drv {

class TTork30 : public TTorkKit {
  public:
    explicit TTork30(const TorkCreateArgs& args) : TTorkKit(args, kWrites30) {}

    bool Exchange(uint8_t command, std::string_view data, bool quiet, bool parse, size_t capacity,
                  std::string& answer, int expected) override;
    void DefineVariables(uint8_t version) override;
    bool StateJumpValid(uint8_t from, uint8_t to) override;
    void ReReadVarValue(uint8_t code) override;
    int32_t SetState(uint8_t requested) override;
    void ParseReply(char status, char command, DATE time) override;
    bool IsIdle() override { return true; }

    uint8_t CounterType() const { return counter_type_; }
    uint8_t CounterCode() const { return counter_code_; }
    uint8_t IdentityParam() const { return identity_param_; }

    static const VarDef kCurrentV;
    static const VarDef kTotalV;
    static const VarDef kCounterVersion;

  protected:
    int32_t WriteVariable(uint8_t code, int64_t value) override;

  private:
    void ReadCurrentVolume30();
    void ReadTotal();
    void ReadFlow();
    void CheckIdentity30();

    uint8_t counter_type_ = 0;
    uint8_t counter_code_ = 0;
    uint8_t program_version_ = 0;
    uint8_t identity_param_ = 148;  // the family; the next parameter holds the version
    uint8_t total_dec_ = 255;       // decimal positions of the answers; 255: at the comma
    uint8_t volume_dec_ = 255;
    uint8_t flow_dec_ = 255;
    uint8_t total_length_ = 16;
    uint8_t flow_length_ = 12;
    bool has_temperature_ = false;
};

}  // namespace drv
