// Scheduling state of a bus device; the port's device list (DeviceList.h) ages and picks by it.
#pragma once
#include <atomic>
#include <cstdint>

namespace mb {

class CArchive;

// Link state codes the core sets (device models add more).
inline constexpr int32_t kStateGood = 0;
inline constexpr int32_t kStateFound = 6;    // created by search or released from capture
inline constexpr int32_t kStateProbed = 16;  // answered a probe
inline constexpr int32_t kStateOffline = -1;

class CDeviceState {
  public:
    CDeviceState() = default;
    virtual ~CDeviceState() = default;
    CDeviceState(const CDeviceState&) = delete;
    CDeviceState& operator=(const CDeviceState&) = delete;

    virtual void Serialize(CArchive&) {}
    // Online for 0, 6 and 16, offline for every other code. Returns the previous offline flag.
    virtual int32_t SetState(int32_t code);
    virtual int32_t GetState() const { return state_.load(); }

    bool IsOnline() const { return online_.load() != 0; }
    bool IsOffline() const { return offline_.load() != 0; }

    // Aging counter; the bus thread alone touches it.
    int32_t GetCounter() const { return counter_; }
    void SetCounter(int32_t value) { counter_ = value; }

    // Host threads flag queued writes; the bus thread clears the flag when the queue is empty.
    void SetWritesQueued() { writes_queued_.store(1); }
    void ClearWritesQueued() { writes_queued_.store(0); }
    bool WritesQueued() const { return writes_queued_.load() != 0; }
    void AddReadBack() { read_backs_.fetch_add(1); }
    // Never below 0: a stray decrement must not leave a permanent bonus.
    void DoneReadBack();
    int32_t ReadBacksPending() const { return read_backs_.load(); }

    static bool IsGoodState(int32_t code) {
        return code == kStateGood || code == kStateFound || code == kStateProbed;
    }

  private:
    friend class CDeviceList;
    int32_t counter_ = 0;
    std::atomic<int32_t> state_{1};
    std::atomic<int32_t> writes_queued_{0};
    std::atomic<int32_t> read_backs_{0};
    std::atomic<int32_t> online_{1};
    std::atomic<int32_t> offline_{0};
};

}  // namespace mb
