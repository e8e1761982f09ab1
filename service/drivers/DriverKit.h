// What the native-protocol controller classes have in common, written once: the status
// tables, committing a reported state, the identity check, the start/pause/continue requests
// of the 40 line, settings kept in controller parameters, the one write path, counter reads,
// the inputs byte and the pause reasons. A class supplies its data (tables, parameter numbers,
// log tags) and derives from TTorkKit to reach the routines. Results besides 0 and HRESULTs
// are named by mb::WriteResult (decisions DRV-34).
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fieldbus/core/HostApi.h"
#include "service/core/controllers/ControllerBase.h"

namespace drv {

// --- status decoding -------------------------------------------------------------------------

// One row of a status table on (status AND mask). When the raw status has any of alt_bits,
// alt_state is taken instead.
struct StatusRow {
    uint8_t masked;
    uint8_t state;
    uint8_t alt_bits = 0;
    uint8_t alt_state = 0;
};

struct StatusTable {
    std::span<const StatusRow> rows;
    uint8_t mask = 0x6F;      // bits 4 and 7 carry no state
    const char* unknown_tag;  // level 2, followed by the status character
};

// The tables of the classes that decode the status by value.
extern const StatusTable kStatus40;
extern const StatusTable kStatus46;
extern const StatusTable kStatusFF;
extern const StatusTable kStatus20;

// Decoding by the first bit set, in this order (families 1 and 10).
struct StatusBit {
    uint8_t mask;
    uint8_t state;
};
extern const std::span<const StatusBit> kStatusBitOrder;

// The post state of a status character; false when no row or bit matches.
bool DecodeStatus(const StatusTable& table, uint8_t status, int32_t& state);
bool DecodeStatusBits(std::span<const StatusBit> order, uint8_t status, int32_t& state);

// Whole degrees of a sign-and-BCD byte: bit 7 the sign, then two BCD digits (0x85 = -5).
int SignBcdDegrees(uint8_t b);

// 10^n for the decimal shifts the controllers report (n >= 0).
int64_t Pow10(int n);

// --- tables a class fills ------------------------------------------------------------------

// The identity of a controller that is seen again after a comm error.
struct IdentityRule {
    const char* start_tag = nullptr;  // level 1 before the reads
    // Parameter 149 (nibble read, no answer = 0) must equal FirmwareVersion.
    bool check_firmware = true;
    const char* firmware_tag = nullptr;  // level 2; null: no log line
    // Parameter 148 (digit read, no answer = 0) must be one of `families`; with
    // question_marks_ok an answer "??" passes as well.
    std::vector<uint8_t> families;
    bool question_marks_ok = false;
    const char* family_tag = nullptr;
    // Configuration bytes read at definition time that must not have moved.
    struct Config {
        uint8_t param;
        uint8_t expected;
        uint8_t silent_link;  // link state when the read gets no answer
        const char* silent_tag;
        uint8_t changed_link;
        const char* changed_tag;
        int changed_level;
    };
    std::vector<Config> configs;
};

// How the 40-line classes take state requests.
struct StartRules {
    bool same_state_is_done = false;  // a request for the current state is answered 0 at once
    bool log_start_from_idle = false;
    int dose_int_digits = 3;
    int dose_decimals = 2;
    bool log_after_stop = false;  // the pause is logged after 's' (before it otherwise)
    enum class Direct : uint8_t { Refused, Base, Own } direct = Direct::Refused;
};

// A setting kept in controller parameters.
enum class SettingRead : uint8_t {
    None,
    Nibble16,       // param (high byte) and param+1 (low byte), nibble reads; both must answer
    Digits,         // digit read of param
    DigitSum,       // param × weight1 (+ param+1 × weight2 when weight2 ≠ 0); all must answer
    NibbleByteVar,  // the base's nibble byte read with its own log line
    DigitByteVar,   // the base's digit byte read with its own log line
};
enum class SettingWrite : uint8_t {
    None,
    Plain,  // the value as a byte
    Bcd1,   // one BCD pair (0..99)
    Bcd2,   // v div 100 into param, v mod 100 into param+1 (0..9999)
};
struct SettingSpec {
    uint8_t code = 0;
    SettingRead read = SettingRead::None;
    uint8_t read_param = 0;
    int64_t weight1 = kFixedOne, weight2 = 0;  // fixed point per digit-pair unit
    const char* read_tag = nullptr;            // level 1 + the value in whole units; null: no line
    SettingWrite write = SettingWrite::None;
    uint8_t write_param = 0;
    const char* write_tag = nullptr;  // level 1 + v before the write
    // Not LINK_OK: the row is the bus address (WriteAddress), and the object is removed with
    // this link state once the new address is written.
    uint8_t address_link = LINK_OK;
    // The wire carries v ÷ 10^scale (reads are multiplied back).
    int scale = 0;
    // v is the value in whole units (rounded); otherwise the raw fixed-point value (LabDensity).
    bool whole = true;
};

// A decimal setting held in one digit pair (0..99) or two (0..9999, hundreds first): the read
// and write rows of `code` at `param`.
SettingSpec PairSetting(uint8_t code, uint8_t param, int pairs, const char* read_tag,
                        const char* write_tag);
// A setting in one BCD pair (0..99) of `param`, read with the base's digit byte read.
SettingSpec BcdByteSetting(uint8_t code, uint8_t param, const char* write_tag);

// How a class's writes end where its own cases stop.
struct WriteTags {
    const char* fault_tag = nullptr;    // level 3 when a write throws (E_FAIL then)
    const char* unknown_tag = nullptr;  // level 3 + the code of a write nothing takes; null: none
};
extern const WriteTags kWrites40;  // families 40, 46 and 90
extern const WriteTags kWrites1;   // families 1, 2 and 20
extern const WriteTags kWrites10;
extern const WriteTags kWrites30;

// The controller's inputs in one parameter byte; a zero mask leaves the variable alone.
struct InputsLayout {
    uint8_t param;
    uint8_t overfill;    // OverFill (30) := 1 when set
    uint8_t trap;        // TrapState (20)
    uint8_t earth;       // Earthed (1)
    uint8_t handle_one;  // HandleState (2) := 1 when set ...
    uint8_t handle_two;  // ... else 2 when this is set, else 0
};

// Where a 'D' equal to the dose while waiting for the key goes.
enum class DoseEcho : uint8_t {
    Zero,  // CurrentV 0; the flow only while waiting for the key, working or paused
    Keep,  // CurrentV as read, the flow sees 0 → 0; the flow in every state
};

// Where a class's volume counters put their decimal point: the 'Q' dose and the 'D' volume at
// `dose_dec`, the 'S' totalizer at `total_dec`.
struct VolumeCounters {
    int dose_dec;
    int total_dec;
    DoseEcho echo;
    const char* dose_tag;  // level 1 + the dose read
};

// The twelve digits of a totalizer write: `decimals` of them (4 or more) after the point. The
// 40 line writes whole units in 8 digits then 00 00 (4, whole); families 1 and 2 six integer
// and six decimal digits (6).
struct TotalizerLayout {
    int decimals = 4;
    bool whole = true;  // the value is rounded to whole units first
};

// --- the routines ------------------------------------------------------------------------------

class TTorkKit : public TBasicTork {
  public:
    using TBasicTork::TBasicTork;
    TTorkKit(const TorkCreateArgs& args, const WriteTags& tags)
        : TBasicTork(args), write_tags_(tags) {}

    // The one write path: the class's cases (WriteVariable), then the kit's table; a throw
    // answers E_FAIL with the class's fault line.
    int32_t SetVarValue(uint8_t code, int64_t value) override;

    int32_t LastReportedState() const { return last_reported_state_; }
    bool HoldState() const { return hold_state_; }
    bool DoseStoreOnly() const { return dose_store_only_; }
    bool DoseOnlyStored() const { return dose_only_stored_; }
    uint8_t ExchangeMode() const { return mode_; }

  protected:
    // A class's own write cases; what they do not take they hand to WriteByTable.
    virtual int32_t WriteVariable(uint8_t code, int64_t value) { return WriteByTable(code, value); }
    // The writes the classes share: DozeV (three integer digits, two decimals), DozeM and
    // LiterPrice on a post with money, and the settings rows that write (the address row
    // through WriteAddress). Anything else is refused (RefuseWrite).
    int32_t WriteByTable(uint8_t code, int64_t value);
    // kBadVariable, logged with the class's unknown-write tag.
    int32_t RefuseWrite(uint8_t code);

    // Puts a class's own record into the descriptor table under its code; edit the result.
    TVariableInfoEx& DefineUnitVar(const VarDef& def);
    // What every post of families 1 and 10 shows: its post numbers, the counters and their
    // money, the calibration, StateWithFlags and the flow.
    void DefineSideVars();
    // What the dispenser's first controller keeps besides: the flow time-out, the inspector
    // counter, FullDown and the versions.
    void DefineDispenserVars();
    // Multiplies the limits and the step of a defined variable by 10^shift (shift >= 0).
    void ScaleDescriptor(uint8_t code, int shift);
    // Decodes and logs an unknown status; csControllerError then.
    int32_t DecodeStatusLogged(const StatusTable& table, char status);
    int32_t DecodeStatusBitsLogged(char status, const char* unknown_tag);
    // Last reported := decoded; the hold rule; SetStateValue unless the link state is set;
    // the hold flag cleared at 0. Returns the state the post got.
    int32_t CommitReported(int32_t decoded, DATE time);
    // 'X' read on the port itself (no failed-request memory, no parsing), the object's mode.
    bool DirectRead(uint8_t param, uint8_t& value, std::string* text = nullptr);
    // True when a finding set the link state.
    bool CheckIdentity(const IdentityRule& rule);
    // The 40 line's identity: the firmware version, then the family among `families`.
    static IdentityRule FirmwareAndFamily(std::vector<uint8_t> families);

    int32_t SetState40(uint8_t requested, const StartRules& rules);
    // A working post whose variables cannot be read is paused.
    void PauseWhenStale();
    // After a dose went out from idle (mass at start).
    virtual void OnDoseStarted() {}

    const SettingSpec* FindSetting(uint8_t code) const;
    // What a class's re-read does with a code it has no case for: DozeV, CurrentV and TotalV
    // by `counters`, the post numbers it shows by WritePostNumbers, its settings row when the
    // row reads, else the base's.
    void ReReadByTable(uint8_t code, const VolumeCounters& counters);
    // A reply that comes while the variables are being defined is not parsed: logged, true.
    bool ReplyWhileDefining();
    // False when the row has no read or an exchange failed (nothing stored then).
    bool ReadSetting(const SettingSpec& s);
    // 0, kNoAnswer, OPC_E_RANGE when v does not fit the parameters.
    int32_t WriteSetting(const SettingSpec& s, int64_t value);

    // The bus address as a plain byte (1..30, an address the port polls); on success the
    // object is removed with the row's address_link and the new address probed first.
    int32_t WriteAddress(const SettingSpec& s, int64_t value);

    // Three digit pairs read as DDD.DDD, stored as `code`.
    bool ReadCalibration(char command, uint8_t param, uint8_t code);
    // Writes the factor as thousandths (middle pair, first, last), reads it back; OPC_E_RANGE
    // with mismatch_tag when it came back different.
    int32_t WriteCalibration(char command, uint8_t param, uint8_t code, int64_t value,
                             const char* mismatch_tag);
    // Its two halves, for a factor written to more than one place before the read-back.
    int32_t WriteCalibrationPairs(char command, uint8_t param, int64_t value);
    int32_t CheckCalibration(uint8_t code, int64_t value, const char* mismatch_tag);
    // Six unlocked pair writes of a twelve-digit number (see TotalizerLayout); a value the
    // pairs cannot hold is refused.
    int32_t WriteTotalizer(uint8_t param, uint8_t code, int64_t value, const char* tag,
                           TotalizerLayout layout = {});

    // The object of the same class at an address of this port; null when there is none, it is
    // of another class, or the address is outside the port.
    template <class T>
    T* PeerAt(uint32_t address) {
        if (address < 1 || address >= kZrnAddresses) return nullptr;
        return dynamic_cast<T*>(Owner().GetDevice(static_cast<int>(address)));
    }

    // 'Q'-style read into `code`, logged with `tag` + value.
    bool ReadCounterVar(char command, int expected, int dec_pos, uint8_t code, const char* tag);
    bool ReadCurrentVolume(int dec_pos, DoseEcho echo);
    // A totalizer; with `flow` the flow (29) follows its old and new records.
    bool ReadTotalizer(char command, int expected, int dec_pos, uint8_t code, bool flow);
    // The value record with the time the value was read (the stamps of later exchanges do
    // not count: the flow is volume per time between two reads).
    TVarValue CounterRecord(uint8_t code);
    void StoreCounter(uint8_t code, DATE time, int64_t value);
    void SafeFlowUpdate(const TVarValue& old_value, const TVarValue& new_value);

    // Sign-and-BCD whole degrees in `param`; with `fine` the hundredths in BCD in param+1
    // (without its answer the whole degrees stand). Stored as `code` at the first answer.
    bool ReadTemperature46(uint8_t param, uint8_t code, bool fine);

    bool ReadInputs(const InputsLayout& layout);
    // Why the controller paused by itself: Earthed lost, overfill, handle out.
    void ReadPauseReasons(uint8_t param, DATE time);
    void StoreStateWithFlags(DATE time);

    void AskRefresh(uint8_t code);
    DATE AnswerTime() const { return last_good_; }
    // Both exchanges through Exchange.
    bool ExchangeAck(char command, std::string_view data, bool quiet = false);
    bool ReadParamText(uint8_t param, bool parse, std::string& answer);
    bool WriteParam(uint8_t param, uint8_t byte, bool quiet = false);

    std::vector<SettingSpec> settings_;

  private:
    WriteTags write_tags_;
    std::array<DATE, 256> counter_time_{};
    // When each counter was read, monotonic: the flow's interval (decisions DRV-33).
    std::array<int64_t, 256> counter_tick_{};
};

}  // namespace drv
