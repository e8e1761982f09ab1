// The base of every dispenser-controller class: one object per controller address on a native
// port. It is the post's State item, owns the post's variable items and command queue,
// executes the queued commands on the line, and keeps the post's saved values.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "service/core/ports/NativePort.h"
#include "service/core/posts/PostItems.h"
#include "service/core/posts/PostVariables.h"

namespace drv {

class TBasicTork;

// What a controller needs of the poll thread that owns it.
struct IControllerOwner {
    virtual ~IControllerOwner() = default;
    virtual TZrnPort& Port() = 0;
    virtual int Shift() const = 0;
    virtual int ComNumber() const = 0;
    // The controller exists on the port (+1) or went away (-1); the port status follows.
    virtual void PostCountChanged(int delta) = 0;
    virtual TBasicTork* GetDevice(int address) = 0;
    virtual void RemoveDevice(int address) = 0;
    // Remember an address as registered (probed first).
    virtual void RegisterAddress(int address) = 0;
};

// Link states: any nonzero value makes the poll thread remove the object.
enum : uint8_t {
    LINK_OK = 0,
    LINK_FAILED = 1,       // definition or identity failed: the saved key is deleted at removal
    LINK_RECONFIGURE = 2,  // the post's configuration moved: removed, key neither kept nor deleted
    LINK_SILENT = 3,       // no good answer for more than 30 s
    LINK_REGISTER = 4,     // removed, the address is remembered as registered
};

// Refresh status of a variable in the round-robin and stale passes.
enum : uint8_t { RS_NONE = 0, RS_REQUESTED = 1, RS_SLOW = 2, RS_REFRESHED = 3, RS_FAILED = 4 };

struct TorkCreateArgs {
    IControllerOwner* owner = nullptr;
    uint8_t address = 0;
    uint8_t family = 0;
    uint8_t version = 0;
    plat::DATE time = 0;
};

class TBasicTork : public TStateItem {
  public:
    // Builds a controller of class T and runs its definition (virtual calls need the object
    // whole, so this replaces the virtual constructor).
    template <class T, class... Extra>
    static ComPtr<T> Make(const TorkCreateArgs& args, Extra&&... extra) {
        ComPtr<T> obj = New<T>(args, std::forward<Extra>(extra)...);
        obj->Init(args.time);
        return obj;
    }

    explicit TBasicTork(const TorkCreateArgs& args);
    ~TBasicTork() override;

    // --- overridable behaviour -------------------------------------------------------------
    virtual uint8_t GetSide() { return 1; }
    virtual uint8_t GetNozzleCount() { return 1; }
    // How many nozzles the side of this object has (GetAddress answers for 1..that).
    virtual uint8_t SideNozzleCount() { return 1; }
    virtual uint32_t GetAddress(uint8_t side, uint8_t nozzle);
    virtual void ConstructHook() {}
    // One transaction with the failed-request memory; `parse` lets the answer's status reach
    // ParseReply.
    virtual bool Exchange(uint8_t command, std::string_view data, bool quiet, bool parse,
                          size_t capacity, std::string& answer, int expected);
    // Called when the stale-variable pass finds a variable that stays out of date.
    virtual void PeriodicHook() {}
    virtual int32_t ApplyDose() { return plat::E_NOTIMPL; }
    // decisions DRV-10
    virtual void StopBeforeRemove();
    virtual void DefineVariables(uint8_t version) = 0;
    virtual void WritePostNumbers(DATE time) { (void)time; }
    virtual bool StateJumpValid(uint8_t from, uint8_t to);
    virtual void ReReadVarValue(uint8_t code);
    virtual int32_t SetState(uint8_t requested);
    virtual int32_t SetVarValue(uint8_t code, int64_t value) = 0;
    // Extra level for StateWithFlags; 255 = none.
    virtual uint8_t FlagsLevel() { return 255; }
    virtual void GetNoRefreshVars(VarSet& out);
    virtual void ParseReply(char status, char command, DATE time) = 0;
    // May the post's variables be changed now?
    virtual bool IsIdle();

    // --- the poll thread's side -------------------------------------------------------------
    void ExecuteNextCommand();
    TPollPriority GetPollPriority();
    void AddItemsToNS();
    void Remove();
    uint8_t LinkState() const { return link_state_.load(); }
    void SetLinkState(uint8_t s) { link_state_.store(s); }
    uint8_t Address() const { return address_; }
    uint8_t Family() const { return family_; }
    uint8_t Version() const { return version_; }
    uint8_t RoundRobinCode() const { return rr_index_; }
    IControllerOwner& Owner() { return *owner_; }

    // --- state and variables ----------------------------------------------------------------
    // Commits a state from the controller (hides the item's own; renews, tells the variables,
    // recomputes StateWithFlags). Returns whether the state changed.
    bool SetStateValue(int32_t state, DATE time);
    // Stores a variable's value; false when the code is not defined here.
    bool SetVarRaw(uint8_t code, uint8_t link_quality, DATE time, int64_t value);
    // A small integer variable; true when its value changed.
    bool StoreByteVar(uint8_t code, int value, DATE time);
    void StampVars(DATE time);
    // The link failed: every value read from the controller is shown as the last value kept,
    // stamped `time`, until its next reading.
    void KeepVars(DATE time);
    // True when a variable stays out of date on a second visit.
    bool RefreshStaleVars();
    void NoteFailedExchange(DATE time);
    // A good answer at `time`: the stamp for values read with it, and the end of any silence.
    void NoteGoodExchange(DATE time);
    // Derived state with flow class and flag level, as variable 36 shows it.
    uint8_t StateWithFlags();
    void FlowUpdate(const TVarValue& old_value, const TVarValue& new_value);
    // Sends a dose ('d'), then unless no_start or the post is busy 's'; store_only sends nothing.
    int32_t WriteDose(int64_t value, int int_digits, int decimals, bool store_only, bool no_start);
    // Within the DozeV variable's own limits (logs when not); a dose outside them is never sent.
    bool DoseInRange(int64_t value);
    // A dose written during a delivery, waiting for the post to come to rest.
    bool DosePending() const { return dose_pending_; }
    // On an idle post a dose written during the last delivery becomes DozeV (store-only).
    void ApplyPendingDose();

    bool HasVar(uint8_t code);
    ComPtr<TVarItem> Var(uint8_t code);
    TVarValue VarRecord(uint8_t code);
    int64_t VarValue(uint8_t code) { return VarRecord(code).value; }
    const TVariableInfoEx& Descriptor(uint8_t code) const { return (*descriptors_)[code]; }

    // --- saved values -------------------------------------------------------------------------
    std::string SavedKey(int post_number) const;
    void LoadValues();
    void SavePort(const std::string& key);
    void DeleteSavedKey();

    // --- money ----------------------------------------------------------------------------------
    void DefineMoneyVariables();
    int32_t SetDoseByMoney(int64_t money);
    int32_t WritePrice(int64_t value);
    void UpdateMoneyValues(int which);
    void MarkRefreshed(uint8_t code);

    // --- parameter routines (through Exchange) -------------------------------------------------
    bool ReadNibble(char command, uint8_t param, bool parse, uint8_t& value);
    bool ReadDigits(char command, uint8_t param, uint8_t& value);
    bool AddDigitSum(char command, uint8_t param, int64_t weight, int64_t& acc);
    bool ReadCalib(char command, uint8_t param, int64_t& value);
    // Writes a 6-digit number as three BCD pairs into param..param+2.
    bool WriteBcd6(char command, uint8_t param, int64_t number);
    bool ReadNibbleByteVar(uint8_t param, uint8_t code);
    bool ReadDigitByteVar(uint8_t param, uint8_t code);
    bool ReadSignBcdTemperature(uint8_t param, uint8_t code);
    bool ReadZTemperature(uint8_t code, bool parse = true);
    // Reads a counter answer of `expected` bytes as a decimal from its second character.
    bool ReadCounter(char command, int expected, int dec_pos, int64_t& value);

    static void SetPostNumberRange(int base, int highest);
    static int HighestPostNumber();
    // "<address> text" into the port's log.
    void Log(std::string_view text, int level);

  protected:
    void Init(DATE time);
    // Copies a common record into the descriptor table under its code; edit the result.
    TVariableInfoEx& DefineVar(VarRec record);
    // Branches of the post: "Post<n>", and unless flat "S<side>" and "P<position>".
    void BuildItemNames(int post, int side, int position);
    int32_t StartPrecheck();
    int ColumnForState(int32_t state) const;

    IControllerOwner* owner_;
    const uint8_t address_;
    uint8_t mode_ = 0;
    uint8_t family_;
    uint8_t version_;
    bool side_post_ = false;
    bool defining_ = false;
    bool has_money_ = false;
    uint8_t price_shift_ = 0;
    int volume_shift_ = 0;
    // DozeV writes are only stored and go out with the start.
    bool dose_store_only_ = false;
    // The last dose write was only stored, not sent.
    bool dose_only_stored_ = false;
    // A store-only dose written while the post was not idle; DozeV takes it at the next idle.
    bool dose_pending_ = false;
    int64_t pending_dose_ = 0;
    // When this object last sent a start from idle: until its own status shows the delivery,
    // the other nozzles of its side are held for kStartHoldMs (two starts queued back to back).
    // decisions CORE-34
    std::atomic<uint32_t> start_tick_{0};
    std::atomic<bool> start_sent_{false};
    // A flow was seen: a decoded idle does not replace a running state until the flow stops.
    bool hold_state_ = false;
    int32_t last_reported_state_ = tlb::csUnknown;
    // The state this object committed last (SetStateValue).
    int32_t own_state_ = tlb::csUnknown;
    std::atomic<uint8_t> link_state_{LINK_OK};

    TSafeIntfArray vars_;
    std::unique_ptr<std::array<TVariableInfoEx, 256>> descriptors_;
    int32_t post_branch_ = -1, side_branch_ = -1, position_branch_ = -1;
    int post_number_given_ = 0;
    uint8_t cycle_ = 0;
    // The failed request remembered for a second try.
    uint8_t failed_command_ = 0;
    std::string failed_data_;
    int failed_expected_ = 0;
    bool failed_quiet_ = false;
    std::array<uint8_t, 256> refresh_status_{};
    uint8_t rr_index_ = 0;
    int stale_code_ = -1;
    DATE last_good_ = 0;
    uint64_t last_good_tick_ = 0;  // the silence watch's: monotonic
    DATE last_failed_ = 0;
    bool flowing_ = false;
    uint32_t flowing_tick_ = 0;
    int column_ = 0;
    bool added_ = false;

  private:
    uint8_t NextRoundRobin();
};

// Prefix of the saved post values in the registry.
extern const char* const kZrnDevKey;  // "\Software\Norvalt\Drv\ZrnDev\"

}  // namespace drv
