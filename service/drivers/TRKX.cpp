#include "service/drivers/TRKX.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

TTorkX::TTorkX(const TorkCreateArgs& args, bool newer_program, std::string program_id)
    : TBasicTork(args), newer_program_(newer_program), program_id_(std::move(program_id)) {
    // decisions DRV-4
    Log("Unsupported program in controller " + std::to_string(args.version) +
            (program_id_.empty() ? std::string() : " " + program_id_),
        PL_EXTERNAL);
}

void TTorkX::DefineVariables(uint8_t) {
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);
    DefineVar(VarRec::StateWithFlags);
    DefineVar(VarRec::AddressReadOnly).MaxValue.int64 = 9999 * kFixedOne;
    // Always flat: one branch stands for post, side and position.
    BuildItemNames(address_, 0, 0);
}

void TTorkX::ReReadVarValue(uint8_t code) {
    std::string answer;
    if (!Exchange('X', ByteToNibbles(149), false, true, kZrnMaxFrame, answer, 9)) return;
    ComPtr<TVarItem> v = Var(code);
    if (!v) return;
    // A value that is being written right now is waited for a little.
    TVarValue r = v->GetValue();
    for (int waited = 0; r.link_quality == LQ_NONE && waited < 500; waited += 10) {
        plat::Sleep(10);
        r = v->GetValue();
    }
    SetVarRaw(code, r.link_quality, plat::NowLocal(), r.value);
}

void TTorkX::ReprobeLater() {
    reprobe_ = true;
    since_ = plat::GetTickCount();
}

void TTorkX::ParseReply(char, char, DATE time) {
    SetStateValue(newer_program_ ? tlb::csNewController : tlb::csOldController, time);
    if (reprobe_ && plat::TickDiff(plat::GetTickCount(), since_) > kReprobeMs)
        SetLinkState(LINK_RECONFIGURE);
}

}  // namespace drv
