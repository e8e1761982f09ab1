// The simulated controllers of one line: up to 31 controllers by address, answering request
// frames from their family's table, with faults to inject and a log of what came in. No I/O
// here: the adapters (Adapters.h) carry the bytes.
//
// Time is the process clock's tick (plat::SysClock()), so a test with a fake clock moves flow
// and answer delays by advancing it.
//
// Threads: every method of Station and Controller may be called from any thread; one lock of
// the station serialises them. A Controller pointer stays valid until its Remove.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zrnsim/Family.h"
#include "tools/zrnsim/Frame.h"

namespace zrnsim {

inline constexpr uint8_t kMaxAddress = 31;
inline constexpr size_t kMaxLogEntries = 4096;

// Deviations from a well-behaved answer. Set on the station they apply to every frame (echo:
// also to frames nobody answers, as a line adapter would); set on a controller, to its frames.
struct Faults {
    bool silent = false;          // no answer at all
    bool echo = false;            // the request comes back before the answer
    uint32_t delay_ms = 0;        // the answer is available this long after the request
    bool split = false;           // the answer goes out in two writes ...
    size_t split_at = 0;          // ... of this many bytes first (0: half) ...
    uint32_t split_delay_ms = 0;  // ... the second this much later
    bool bad_checksum = false;    // checksum byte one above the sum
    bool checksum_low = false;    // checksum byte 0x10 below the sum
    bool start_with_b = false;    // 'B' where the answer starts with 'A'
    uint8_t address_flags = 0;    // ORed into the answer's address byte (0x20, 0x40, 0xE0)
    std::string trailing;         // bytes after the answer's final 'E'
    int count = -1;               // frames these faults still apply to; -1: until changed

    bool Any() const;
};

// One received frame. `answer` is what went out after the echo (empty when none).
struct LogEntry {
    uint32_t tick = 0;
    std::string frame;
    FrameError error = FrameError::None;
    uint8_t address = 0;
    char command = 0;
    std::string answer;
    std::string note;  // why there was no answer, which faults applied, what changed
};

// Bytes to send and the tick from which they may go.
struct Segment {
    std::string bytes;
    uint32_t due_tick = 0;
};

struct Reply {
    std::vector<Segment> segments;  // in sending order
    std::string note;
};

class Station;

class Controller {
  public:
    uint8_t Address() const;
    int Family() const { return family_; }
    int Version() const { return version_; }
    const FamilyTable& Table() const { return *table_; }

    uint8_t Param(uint8_t n) const;
    void SetParam(uint8_t n, uint8_t v);
    uint8_t ExtParam(uint8_t n) const;
    void SetExtParam(uint8_t n, uint8_t v);
    // Parameters 145..147, as the probe reads them (147 first in the program id text).
    void SetProgramId(uint8_t p145, uint8_t p146, uint8_t p147);

    // The state and counters after the flow up to now. Values are ×10000.
    State GetState();
    int64_t CurrentV();
    int64_t CurrentW();
    int64_t Dose();
    int64_t TotalV();
    int64_t TotalW();
    int64_t Price();
    int64_t Temperature();
    // 16-bit counter of accepted parameter writes (in the family's inspector parameters).
    int Inspector() const;

    void SetTotalV(int64_t v);
    void SetTotalW(int64_t v);
    void SetPrice(int64_t v);
    void SetFlowRate(int64_t per_second);  // ×10000 per second
    void SetDensity(int64_t kg_per_unit);  // ×10000; mass = volume × density
    // Also written into the family's temperature parameters (sign-and-BCD).
    void SetTemperature(int64_t v);
    void SetVolumeDecimals(int decimals);  // overrides the family's (0..4)
    void SetEarthed(bool on);
    // Answers the dose for CurrentV while waiting for the key (a firmware habit drivers must
    // cope with).
    void SetShowDoseWhileWaiting(bool on);
    // Status character to send instead of the one the state gives.
    void SetStatusOverride(std::optional<uint8_t> status);
    uint8_t StatusChar();

    // Operator actions at the dispenser.
    bool PressKey();                  // waiting or paused -> working
    void Stop();                      // any state -> idle, the dose ends here
    bool Pause(uint8_t reasons = 0);  // working -> paused by the controller, reasons in the
                                      // family's pause-reason parameter
    // Idle -> working on a volume set at the dispenser itself (controllers the service does
    // not start).
    bool Deliver(int64_t volume);

    void SetFaults(const Faults& f);
    Faults GetFaults() const;

    std::vector<LogEntry> Requests() const;
    void ClearRequests();

  private:
    friend class Station;
    struct Answer {
        bool ack = false;                // bare 'A'
        bool silent = false;             // carried out, nothing sent back
        std::string data;                // status character and payload otherwise
        std::optional<uint8_t> move_to;  // an address write asks to move
    };

    Controller(std::shared_ptr<std::recursive_mutex> lock, uint8_t address, int family,
               int version);
    void InitParams();
    void UpdateLocked(uint32_t now);
    uint8_t StatusLocked() const;
    void SetStateLocked(State s, uint32_t now);
    std::optional<Answer> Respond(const Request& r, uint32_t now, std::string& note);
    std::optional<Answer> Read(const ReadSpec& rs, const Request& r, std::string& note);
    std::optional<Answer> Write(const WriteSpec& rs, const Request& r, uint32_t now,
                                std::string& note);
    bool WriteParamLocked(std::string_view data, std::optional<uint8_t>& move_to,
                          std::string& note);
    void WriteTemperatureParams();
    void BumpInspector();
    int VolumeDecimals() const;
    int PriceDecimals() const;
    std::string Field(Quantity q, const ReadSpec& rs);
    void AddLog(const LogEntry& e);

    std::shared_ptr<std::recursive_mutex> lock_;
    uint8_t address_;
    int family_;
    int version_;
    std::shared_ptr<const FamilyTable> table_;
    const ParamLayout* layout_;
    uint8_t params_[256] = {};
    uint8_t ext_params_[256] = {};

    State state_ = State::Idle;
    int64_t current_v_ = 0, current_w_ = 0, dose_ = 0, total_v_ = 0, total_w_ = 0;
    int64_t price_ = 0, temperature_ = 15 * 10000;
    int64_t flow_ = 0, density_ = 10000;
    int64_t flow_carry_ = 0;  // ×10000·ms not yet turned into volume
    int64_t mass_carry_ = 0;
    uint32_t flow_tick_ = 0;
    int volume_decimals_ = -1;  // -1: the family's
    bool earthed_ = true;
    bool show_dose_waiting_ = false;
    bool unlocked_ = false;
    std::optional<uint8_t> status_override_;
    Faults faults_;
    std::deque<LogEntry> log_;
};

class Station {
  public:
    Station();
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Null when the address is outside 1..31 or taken, or family/version outside 0..255.
    Controller* Add(int address, int family, int version);
    bool Remove(int address);
    Controller* Find(int address);
    std::vector<uint8_t> Addresses() const;

    void SetFaults(const Faults& f);
    Faults GetFaults() const;

    // One received frame as it came off the line; the reply holds what to send and when.
    Reply Handle(std::string_view frame);
    // Brings every controller's flow up to now.
    void Update();

    std::vector<LogEntry> Requests() const;
    void ClearRequests();

  private:
    static Faults TakeFaults(Faults& f);
    void AddLog(LogEntry e);

    std::shared_ptr<std::recursive_mutex> lock_;
    std::unique_ptr<Controller> controllers_[kMaxAddress + 1];
    Faults faults_;
    std::deque<LogEntry> log_;
};

}  // namespace zrnsim
