// Leaves of the service's own devices and the narrow seams through which the core asks the
// host what only the host knows.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "service/core/base/CoreHooks.h"
#include "service/core/items/ItemTree.h"

namespace drv {

// Base of the device leaves: tells the host about post variables, never refuses a client,
// and pauses a post that changed into a running state while its Enable item forbids it.
class TCustomLeafItem : public TLeafItem {
  public:
    using TLeafItem::TLeafItem;
    void AfterAddToNS() override;
    bool RefusesClient(int, int) override { return false; }
    void Changed(const Variant& value) override;
    // True for a post's State item: only a state is checked against the Enable item.
    virtual bool IsPostState() const { return false; }
    // The post this item belongs to (0 when none).
    virtual int PostNumber() const { return 0; }

  protected:
    // The Enable check and the pause, with this leaf's lock released. decisions CORE-65
    void AfterSample() override;

  private:
    static constexpr int32_t kNoCheck = INT32_MIN;
    // The state Changed saw, left for AfterSample to check against the Enable item.
    std::atomic<int32_t> enable_check_{kNoCheck};
};

// 0, or -9 when the post's Enable item holds false and a start (1) or continue (7) is asked.
int CheckPostEnabled(int post_number, int requested_state);

// --- seams the host fills ----------------------------------------------------------------------

// Single entries of the host's table (base/CoreHooks.h), which the station list switches on and
// off with its own life.
void SetStationsExistProbe(StationsExistFn fn);
bool StationsExist();
void SetPostItemAddedHook(PostItemAddedFn fn);

// The "Parameters" key RESTRICTUSERS: variable writes then need the descriptor's level.
std::atomic<bool>& RestrictUsers();

// Branches created after start-up; a branch named "Post<n>" belongs to post n.
class TDrvBranchItem : public TItem {
  public:
    explicit TDrvBranchItem(const std::string& name);
    int PostNumber() const { return post_; }

  private:
    int post_ = 0;
};

// The post of a name "Post<n>"; 0 for any other name.
int PostOfName(const std::string& name);

// The service's search mode: every empty address ranks first, so probes come first. One aligned
// 32-bit cell, because the field-bus library reads it through a plain pointer: the poll threads
// search while it is non-zero, the library while it is 1.
std::atomic<int32_t>& SearchMode();

}  // namespace drv
