// The thread of one native-protocol port: it owns the port and up to 31 controller objects,
// serves one address per step by priority and probes empty addresses for new controllers.
#pragma once
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "service/core/controllers/ControllerBase.h"
#include "service/core/ports/NativePort.h"
#include "service/core/ports/PortManager.h"

namespace drv {

class TProcessThread : public TPortObject, public IPortOwner, public IControllerOwner {
  public:
    // Probes that leave a registered address empty, after which it no longer ranks ahead of
    // the posts.
    // decisions CORE-19
    static constexpr uint8_t kRegisteredProbeTries = 3;
    // Pause of a step while the line is closed.
    static constexpr uint32_t kClosedStepMs = 100;

    TProcessThread(int index, uint32_t baud, bool emulation, int shift, bool default_mode);
    ~TProcessThread() override;

    // TPortObject
    int PostCount() const override { return post_count_.load(); }
    bool Registered() const override { return registered_; }
    // IPortOwner
    void SetPortState(int code) override;
    void ClearSeen() override;
    // IControllerOwner
    TZrnPort& Port() override { return *port_; }
    int Shift() const override { return shift_; }
    int ComNumber() const override { return index_ + 1; }
    void PostCountChanged(int delta) override;
    TBasicTork* GetDevice(int address) override;
    void RemoveDevice(int address) override;
    void RegisterAddress(int address) override;

    // One step and its parts (run on the thread; public for tests that drive a thread-less
    // instance step by step).
    void PollStep();
    void ProbeAddress(int address);
    // `repeat`: a scan of a step that found the port still without controllers (its lines are
    // details then, counted).
    void ScanRegisteredDevices(bool repeat = false);
    TPollPriority MakeProbeRecord(int address);
    std::string ProgramIDText(int address);

    // Starts the thread (the constructor does when the port registered).
    void Start();
    uint32_t Steps() const { return step_.load(); }
    uint32_t RegisteredSet() const { return registered_set_.load(); }
    int HighestAddress() const { return highest_; }
    int LastChosen() const { return last_chosen_; }
    // Every address has been probed once since the start (the first round is over).
    bool AllProbed() const { return LowestUnprobed() == 0; }

    // Makes the port manager start native ports as poll threads.
    static void Install();
    // For tests: build without starting the thread.
    static std::unique_ptr<TProcessThread> CreateStopped(int index, uint32_t baud, bool emulation,
                                                         int shift, bool default_mode);

    // A post with waiting commands ranks first at most kPriorityBurst times in a row, and then
    // once more for every kPriorityEvery steps of the line; otherwise its commands run in its
    // ordinary turns, so a client that keeps a queue full cannot take the line.
    static constexpr uint8_t kPriorityBurst = 8;
    static constexpr uint32_t kPriorityEvery = 50;

  private:
    struct NoStart {};
    TProcessThread(NoStart, int index, uint32_t baud, bool emulation, int shift, bool default_mode);
    void Execute();
    void Shutdown();
    // The lowest empty address not probed since the start; 0 when there is none.
    int LowestUnprobed() const;

    const int index_;
    const int shift_;
    std::unique_ptr<TZrnPort> port_;
    std::array<ComPtr<TBasicTork>, 32> devices_;
    std::atomic<int> post_count_{0};
    std::atomic<uint32_t> step_{0};
    int highest_ = 0;
    std::atomic<uint32_t> registered_set_{0};
    // Times here are monotonic ticks (plat::GetTickCount64), 0 = never: they rank the
    // addresses, and a step of the wall clock must not reorder them (decisions CORE-52).
    std::array<uint64_t, 32> last_seen_{};
    // When each empty address was last probed, answered or not: ranks the probes.
    std::array<uint64_t, 32> last_probe_{};
    // Probes in a row that left the address empty, by address.
    std::array<uint8_t, 32> empty_probes_{};
    // When each controller's last cycle that raised or ran a command ended.
    std::array<uint64_t, 32> unsampled_cycle_{};
    // Per controller: first ranks for commands not yet earned back, and the step from which
    // the next one is earned back.
    std::array<uint8_t, 32> priority_spent_{};
    std::array<uint32_t, 32> priority_since_{};
    bool registered_ = false;
    bool no_controller_told_ = false;  // the step without controllers was logged at level 1
    uint32_t silence_told_ = 0;        // addresses whose silence was logged at level 1
    int last_chosen_ = 0;
    std::string last_answer_;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

}  // namespace drv
