// Stand-in for a controller whose program no driver knows: keeps the post visible with its
// identity and a state telling an older (csOldController) from a newer (csNewController)
// program, refuses commands.
#pragma once
#include "fieldbus/core/HostApi.h"
#include "service/core/controllers/ControllerBase.h"

namespace drv {

class TTorkX : public TBasicTork {
  public:
    TTorkX(const TorkCreateArgs& args, bool newer_program, std::string program_id);

    bool NewerProgram() const { return newer_program_; }
    void DefineVariables(uint8_t version) override;
    void ReReadVarValue(uint8_t code) override;
    int32_t SetState(uint8_t) override { return mb::HostCode(mb::WriteResult::kNotIdle); }
    int32_t SetVarValue(uint8_t, int64_t) override {
        return mb::HostCode(mb::WriteResult::kBadVariable);
    }
    void ParseReply(char status, char command, DATE time) override;
    // Every identity variable is re-read in turn (that is all this class polls).
    void GetNoRefreshVars(VarSet& out) override { out.reset(); }
    // Stands in after a definition failed: after a while it asks to be removed, so the probe
    // tries the controller's own class again instead of showing it as unsupported for good.
    void ReprobeLater();

    static constexpr uint32_t kReprobeMs = 30000;

  private:
    bool newer_program_;
    bool reprobe_ = false;
    uint32_t since_ = 0;
    std::string program_id_;
};

}  // namespace drv
