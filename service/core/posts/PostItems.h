// A post's items (its state and its variables), the commands a client write turns into, the
// per-post command queue, fixed-point rounding and the poll-priority record.
#pragma once
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <string>

#include "service/core/items/DeviceItems.h"
#include "service/core/posts/PostVariables.h"

namespace drv {

// Link quality of a device value.
enum : uint8_t { LQ_NONE = 0, LQ_INVALID = 1, LQ_KEPT = 2, LQ_FRESH = 4 };

class TMyLeafItem : public TCustomLeafItem {
  public:
    using TCustomLeafItem::TCustomLeafItem;
    virtual uint16_t GetQuality() = 0;
    virtual int64_t LowLimit() = 0;
    virtual int64_t HighLimit() = 0;

    uint8_t LinkQuality();
    DATE LastChange();

  protected:
    DATE last_change_ = 0;      // under the leaf's lock
    uint8_t link_quality_ = 0;  // under the leaf's lock
};

// One queued request.
class TCommand : public TMyInterfacedObject {
  public:
    enum Kind : uint8_t { SetState = 1, WriteVariable = 2 };
    TCommand(Kind kind, int32_t argument, int64_t value = 0)
        : kind(kind), argument(argument), value(value) {}

    // Older than the registry's time-out: its client has been told it expired.
    bool Expired() const;
    // So old that its id may since have been issued to another command.
    bool IdMayBeReissued() const;

    std::atomic<int32_t> id{0};
    std::atomic<uint32_t> issued_tick{0};
    const Kind kind;
    const int32_t argument;  // requested state, or variable code
    const int64_t value;     // fixed point
};

// Commands waiting for the port's poll thread, oldest first.
class TCQueue {
  public:
    // Commands one post holds at once; more would mostly expire before the line gets to them.
    // decisions CORE-15
    static constexpr size_t kMaxQueued = 64;

    // Registers the command and queues it; the result is its id, or the registry's error
    // (E_OUTOFMEMORY also for a full queue). A command refused so takes no id and is not queued.
    int32_t Add(ComPtr<TCommand> command);
    // The next live command becomes the current one; expired ones (by the registry or by
    // their own age) complete with -1 and are never handed out.
    ComPtr<TCommand> Next();
    bool HasCommands();
    void Complete(int32_t result);
    ComPtr<TCommand> Current() { return current_; }

  private:
    ComPtr<TCommand> current_;  // poll thread only
    std::mutex lock_;
    // decisions CORE-16
    std::deque<ComPtr<TCommand>> items_;  // under lock_
    size_t reserved_ = 0;                 // places taken by an Add getting its id; under lock_
};

// How a native port ranks the next address (21 bytes, packed). The last service is a
// monotonic tick, so that a step of the wall clock or of the zone's offset leaves the ranking
// as it was.
// decisions CORE-52
#pragma pack(push, 1)
struct TPollPriority {
    uint8_t kind = 0;  // refresh-factor row; 0 = empty record
    uint8_t busy = 0;
    uint8_t probe = 0;
    uint8_t cls = 0;    // below 3 ranks higher
    uint64_t tick = 0;  // last service (plat::GetTickCount64); 0 = never
    uint8_t column = 0;
    double factor = 1.0;
};
#pragma pack(pop)
static_assert(sizeof(TPollPriority) == 21);

// True when the candidate replaced the best.
bool ComparePollPriority(TPollPriority& best, const TPollPriority& candidate);
// Rounds value to a multiple of step (both fixed point): mode 0 nearest (halves away from
// zero), 1 up, 2 down.
int64_t FixedPointRound(int mode, int64_t step, int64_t value);

// A post's state.
class TStateItem : public TMyLeafItem {
  public:
    TStateItem(int post_number, bool real_hardware);

    int32_t GetState();
    void GetStateAndTime(int32_t& state, DATE& time);
    bool SetStateValue(int32_t state, DATE time);
    // When the last state sample was taken (plat::GetTickCount64).
    uint64_t StateTick();
    TPollPriority GetPollPriority(uint8_t column);
    TCQueue& Queue() { return queue_; }
    bool Active();
    uint32_t DeadlineTick();
    DATE QuietTime();

    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::vector<PropertyInfo> AvailableProperties() override;
    HRESULT GetItemProperty(uint32_t id, LCID locale, Variant& out) override;
    std::string DescriptionRu() override { return "Состояние процесса"; }
    std::string DescriptionEn() override { return "Process state"; }
    uint16_t GetQuality() override;
    int64_t LowLimit() override { return 0; }
    int64_t HighLimit() override { return 255 * kFixedOne; }
    bool IsPostState() const override { return true; }
    int PostNumber() const override { return post_number_.load(); }
    // The controller learns its post number while it defines its variables.
    void SetPostNumber(int n) { post_number_.store(static_cast<uint16_t>(n)); }

    // Poll-priority row and spare byte.
    std::atomic<uint8_t> poll_kind{7};
    std::atomic<uint8_t> poll_spare{0};

  protected:
    // SetStateValue's part under the leaf's write lock.
    bool SetStateValueLocked(int32_t state, DATE time);

    std::atomic<uint16_t> post_number_;
    const bool real_hardware_;
    int32_t state_ = tlb::csUnknown;  // under the leaf's lock from here on
    DATE state_time_ = 0;
    uint64_t state_tick_ = 0;
    uint8_t changed_ = 0;
    uint32_t sample_counter_ = 0;
    uint32_t deadline_tick_ = 0;
    uint8_t active_ = 0;
    DATE quiet_time_ = 0;
    TCQueue queue_;
};

// Value record of a variable (the saved and exchanged form).
struct TVarValue {
    int64_t value = 0;  // fixed point
    DATE time = 0;
    uint8_t link_quality = 0;
    // When `time` was taken, on the monotonic clock (plat::GetTickCount64; earlier than the
    // start of the count for a saved value): the ages and rates are measured by it.
    int64_t tick = 0;
};

// One controller variable.
class TVarItem : public TMyLeafItem {
  public:
    TVarItem(int post_number, bool real_hardware, TCQueue* queue,
             const TVariableInfoEx* descriptor);

    const TVariableInfoEx& Descriptor() const { return *descriptor_; }
    int Code() const { return descriptor_->Code; }
    TVarValue GetValue();
    VARTYPE CanonicalFor() const { return CanonicalType(); }
    // Stores a value from the controller and publishes it.
    void StoreValue(int64_t value, DATE time, uint8_t link_quality);
    // Renews the time stamp after a good exchange.
    void Stamp(DATE time);
    // The controller stopped answering: a fresh value is published again as the last value
    // kept, stamped `time`; its own time stays that of the reading.
    void KeepValue(DATE time);
    // A saved value; ignored unless it is from the last day (and the class is ever stale).
    bool RestoreValue(const TVarValue& saved, uint8_t link_quality);
    void RequestRefresh() override;
    uint8_t RefreshMark();
    void ClearRefreshMark();
    bool IsUpToDate(int column);
    bool NeedsRefresh(int column, bool strict);
    void SetEnabled(bool on);
    HRESULT MakeWriteCommand(int64_t value);

    uint8_t AccessRights() override { return descriptor_->IsWriteable ? 3 : 1; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::vector<PropertyInfo> AvailableProperties() override;
    HRESULT GetItemProperty(uint32_t id, LCID locale, Variant& out) override;
    std::string DescriptionRu() override;
    std::string DescriptionEn() override { return descriptor_->EnglishDescription; }
    uint16_t GetQuality() override;
    int64_t LowLimit() override { return descriptor_->MinValue.int64; }
    int64_t HighLimit() override { return descriptor_->MaxValue.int64; }
    int PostNumber() const override { return post_number_; }

    static VARTYPE CanonicalTypeOf(const TVariableInfoEx& d);

  private:
    uint16_t QualityLocked();
    Variant AsVariant(int64_t value) const;

    const TVariableInfoEx* descriptor_;
    TCQueue* queue_;
    const uint16_t post_number_;
    const bool real_hardware_;
    int64_t value_ = 0;  // under the leaf's lock
    DATE time_ = 0;
    // When time_ was taken, monotonic; long before any tick until a value comes.
    int64_t tick_ = std::numeric_limits<int64_t>::min() / 2;
    uint8_t refresh_mark_ = 0;
    uint32_t refresh_tick_ = 0;
    uint8_t enabled_ = 1;
};

}  // namespace drv
