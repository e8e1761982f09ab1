// One OPC group of a server object: its state as created by AddGroup, its place in the server's
// group array and the step the server's advise thread drives. The group's own client
// interfaces (item management, state, reads and writes, its data-callback point) come on top of
// this: they answer through FindInterface and do their sending in SendStep.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "service/core/RuntimeBase.h"
#include "service/typelib/OpcDa.h"

namespace drv {

struct TServerCore;

// What AddGroup asks for.
struct TGroupArgs {
    std::u16string name;  // empty: "Group" + the server handle
    bool active = true;
    uint32_t requested_rate = 0;
    opc::OPCHANDLE client_handle = 0;
    int32_t time_bias = 0;
    float percent_deadband = 0;
    plat::LCID lcid = plat::LOCALE_EN_US;
    uint8_t client_kind = 0;  // copied from the server at creation
    int server_index = -1;    // the server's place in the server list (log lines)
};

class TGroup : public TMyInterfacedObject {
  public:
    // The fastest update rate a group is created with (ms).
    static constexpr uint32_t kMinCreateRate = 50;
    // A callback step with nothing to send looks again this much later (ms).
    static constexpr uint32_t kIdleStepMs = 10000;

    TGroup(std::weak_ptr<TServerCore> owner, const TGroupArgs& args);
    ~TGroup() override;

    // The release rule: when only the server's group array still holds the group, the group
    // leaves the array (as RemoveGroup does).
    uint32_t Release() override;

    // Driven by the server's advise thread, outside every lock of the server. Returns the
    // tick at which the group wants the next step.
    virtual uint32_t CallbackStep();

    opc::OPCHANDLE ServerHandle() const { return server_handle_; }
    std::u16string Name();
    uint32_t UpdateRate();
    bool RateRevised() const { return rate_revised_; }
    uint8_t ClientKind() const { return client_kind_; }
    opc::OPCHANDLE ClientHandle();
    plat::LCID Lcid();
    bool Active();

    // Live groups in this process (tests and diagnostics).
    static int LiveCount();

  protected:
    // Sends what is due: subscription updates, finished transactions. True when something was
    // sent, so that the group is examined again at once. Called under the group's lock.
    virtual bool SendStep() { return false; }

    TSyncLock lock_;

  private:
    const std::weak_ptr<TServerCore> owner_;
    const uint8_t client_kind_;
    const int server_index_;
    const opc::OPCHANDLE server_handle_;
    opc::OPCHANDLE client_handle_;
    std::u16string name_;
    uint32_t update_rate_;
    bool rate_revised_;
    bool active_;
    int32_t time_bias_;
    float percent_deadband_;
    plat::LCID lcid_;
    uint32_t keep_alive_ = 0;
    uint32_t next_due_ = 0;
};

}  // namespace drv
