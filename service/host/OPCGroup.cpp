#include "service/host/OPCGroup.h"

#include <algorithm>
#include <atomic>

#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/TxtProt.h"
#include "service/host/OPCServer.h"

namespace drv {

namespace {

TSafeIDGen g_group_handles;
std::atomic<int> g_live_groups{0};

}  // namespace

TGroup::TGroup(std::weak_ptr<TServerCore> owner, const TGroupArgs& args)
    : owner_(std::move(owner)),
      client_kind_(args.client_kind),
      server_index_(args.server_index),
      server_handle_(static_cast<opc::OPCHANDLE>(g_group_handles.NextID())),
      client_handle_(args.client_handle),
      name_(args.name),
      update_rate_(std::max(args.requested_rate, kMinCreateRate)),
      rate_revised_(args.requested_rate < kMinCreateRate),
      active_(args.active),
      time_bias_(args.time_bias),
      percent_deadband_(args.percent_deadband),
      lcid_(args.lcid) {
    if (name_.empty()) name_ = plat::Utf8ToWide("Group" + std::to_string(server_handle_));
    lock_.Init("Group " + std::to_string(server_handle_));
    // The data-callback connection point of the group is made here when the group's client
    // interfaces join.
    g_live_groups.fetch_add(1);
}

TGroup::~TGroup() {
    g_live_groups.fetch_sub(1);
}

int TGroup::LiveCount() {
    return g_live_groups.load();
}

uint32_t TGroup::Release() {
    // Taken before the count drops: afterwards the group may be gone.
    std::shared_ptr<TServerCore> owner = owner_.lock();
    const uint32_t n = TMyInterfacedObject::Release();
    if (n == 1 && owner) owner->DropGroupIfLast(this);
    return n;
}

uint32_t TGroup::CallbackStep() {
    WriteGuard g(lock_);
    next_due_ = plat::GetTickCount() + kIdleStepMs;
    // Something sent: look again at once.
    if (SendStep()) next_due_ = plat::GetTickCount();
    return next_due_;
}

std::u16string TGroup::Name() {
    ReadGuard g(lock_);
    return name_;
}

uint32_t TGroup::UpdateRate() {
    ReadGuard g(lock_);
    return update_rate_;
}

opc::OPCHANDLE TGroup::ClientHandle() {
    ReadGuard g(lock_);
    return client_handle_;
}

plat::LCID TGroup::Lcid() {
    ReadGuard g(lock_);
    return lcid_;
}

bool TGroup::Active() {
    ReadGuard g(lock_);
    return active_;
}

}  // namespace drv
