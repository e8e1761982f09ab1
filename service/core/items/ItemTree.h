// The item tree: branches and leaves with their sample history, the global item table, the
// full-name list, the System branch, and the OPC group's handle on a leaf.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/datetime.h"
#include "platform/types/variant.h"
#include "service/core/base/ObjectBase.h"
#include "service/core/base/SyncLock.h"

namespace drv {

using plat::DATE;
using plat::FILETIME;
using plat::LCID;
using plat::Variant;
using plat::VARTYPE;

constexpr uint16_t OPC_QUALITY_BAD = 0;
constexpr uint16_t OPC_QUALITY_CONFIG_ERROR = 4;
constexpr uint16_t OPC_QUALITY_NOT_CONNECTED = 8;
constexpr uint16_t OPC_QUALITY_COMM_FAILURE = 24;
constexpr uint16_t OPC_QUALITY_OUT_OF_SERVICE = 28;
constexpr uint16_t OPC_QUALITY_UNCERTAIN = 64;
constexpr uint16_t OPC_QUALITY_LAST_USABLE = 68;
constexpr uint16_t OPC_QUALITY_SENSOR_CAL = 80;
constexpr uint16_t OPC_QUALITY_EGU_EXCEEDED = 84;
constexpr uint16_t OPC_QUALITY_GOOD = 192;

constexpr uint32_t OPC_READABLE = 1;
constexpr uint32_t OPC_WRITEABLE = 2;

// Property ids the items answer.
enum : uint32_t {
    PROP_CDT = 1,
    PROP_VALUE = 2,
    PROP_QUALITY = 3,
    PROP_TIME = 4,
    PROP_RIGHTS = 5,
    PROP_SCANRATE = 6,
    PROP_UNIT = 100,
    PROP_DESC = 101,
    PROP_HIEU = 102,
    PROP_LOEU = 103,
    PROP_HIRANGE = 104,
    PROP_LORANGE = 105,
    PROP_CLOSE = 106,
    PROP_OPEN = 107,
    PROP_REAL_HARDWARE = 5000,
};

struct PropertyInfo {
    uint32_t id;
    std::string description;
    VARTYPE vt;
};

class TItem;
class TLeafItem;
using ItemFactory = ComPtr<TItem> (*)(const std::string& name);

// --- items -------------------------------------------------------------------

class TItem : public TMyInterfacedObject {
  public:
    explicit TItem(const std::string& name);

    int32_t ID() const { return id_.load(); }
    int32_t ParentID() const { return parent_id_.load(); }
    const std::string& ShortName() const { return short_name_; }
    std::string FullName() const;

    virtual void AddToNS(int32_t parent_id);
    // Called once the item's id is known, before it is published in the table.
    virtual void AfterAddToNS() {}
    virtual bool IsLeaf() const { return false; }
    // True hides the item from that kind of client.
    virtual bool RefusesClient(int client_kind, int flag) {
        (void)client_kind;
        (void)flag;
        return false;
    }
    void RemoveFromNS();

    // Flags set by the post and enable items; shown in removal log lines only.
    uint8_t flag_f = 0;
    uint8_t flag_b = 0;

  protected:
    friend class NameSpaceImpl;
    // `replacing`: the item makes way for another of the same name (no placeholder).
    void RemoveFromNSImpl(bool replacing);

    mutable std::mutex name_mutex_;
    std::atomic<int32_t> parent_id_{-1};
    std::atomic<int32_t> id_{-1};
    std::string short_name_;
    std::string full_name_;
};

// One history entry.
struct TVQTSample {
    uint32_t cursor_refs = 0;
    Variant value;
    uint16_t quality = 0;
    DATE source_time = 0;
    DATE update_time = 0;
};

// One read delivered to an OPC group.
struct SampleRead {
    uint32_t client_handle = 0;
    FILETIME time{};
    uint16_t quality = 0;
    Variant value;
    HRESULT error = plat::S_OK;
};

class TGItem;

class TLeafItem : public TItem {
  public:
    explicit TLeafItem(const std::string& name, VARTYPE canonical = plat::VT_EMPTY);

    bool IsLeaf() const override { return true; }
    VARTYPE CanonicalType() const { return canonical_vt_.load(); }
    void SetCanonicalType(VARTYPE vt) { canonical_vt_.store(vt); }

    virtual void Changed(const Variant& value);
    virtual std::vector<PropertyInfo> AvailableProperties();
    virtual uint8_t AccessRights() = 0;
    virtual void Touch(int kind) { (void)kind; }
    virtual DATE GetTimestamp();
    virtual void RequestRefresh();
    virtual HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale);
    // Property value; E_... / OPC_E_INVALID_PID when the item does not know the id.
    virtual HRESULT GetItemProperty(uint32_t id, LCID locale, Variant& out);
    virtual int32_t EUType() { return 0; }
    virtual std::string DescriptionRu() { return {}; }
    virtual std::string DescriptionEn() { return {}; }

    // Task-allocated arrays for the OPC face: ids, descriptions (UTF-16) and types.
    HRESULT QueryAvailableProperties(uint32_t& count, uint32_t*& ids, char16_t**& descriptions,
                                     VARTYPE*& types);
    // Task-allocated values and errors; S_FALSE when any id failed.
    HRESULT GetItemProperties(uint32_t count, const uint32_t* ids, LCID locale, Variant*& values,
                              HRESULT*& errors);

    void NewSample(const Variant& value, uint16_t quality, DATE time);
    void SetLastTimestamp(DATE time);
    void SetLastTimestampFT(const FILETIME& utc);
    HRESULT ReadCurrent(VARTYPE requested, LCID locale, Variant& value, uint16_t& quality,
                        FILETIME& time);
    Variant ReadValue();
    Variant PeekValue(bool* good = nullptr);
    Variant GetValueAndTime(DATE& time, bool& good);
    // When the newest sample was made or re-stamped, on the monotonic clock (0: never). Its
    // stamp is what clients see; this is what "newer" and "older than" go by.
    // decisions CORE-53
    uint64_t UpdateTick();
    HRESULT WriteChecked(const Variant& value, int client_privilege, int flag, LCID locale);
    int GetRealHardware();

    // Group reads (see TGItem).
    void ReadSamples(TGItem& handle, bool flag, LCID locale, std::vector<SampleRead>& out,
                     int& counter, bool& bad_quality);
    int64_t AcquireNewest();
    void AcquireAt(int64_t n);
    void ReleaseCursor(int64_t n);
    // Moves a cursor from one sample to another as one step.
    void MoveCursor(int64_t from, int64_t to);

    // Inspection.
    int64_t Shift();
    int64_t NextSample();
    size_t SampleSlots();
    uint32_t TotalRefs();
    TSyncLock& Lock() { return lock_; }

  protected:
    friend void BumpAddrSpaceVer(TLeafItem* item, bool flag);
    // Runs once NewSample or SetLastTimestamp has released the leaf's lock (Changed runs under
    // it): what a change sets off beyond the change ring, such as another leaf's lock or a post
    // queue, goes here. A leaf that leaves work here from Changed and makes samples under a
    // write guard of its own calls it after that guard too. decisions CORE-65
    virtual void AfterSample() {}
    // Callers hold the write lock.
    void NewSampleLocked(const Variant& value, uint16_t quality, DATE time);
    void SetLastTimestampLocked(DATE time);
    TVQTSample* NewestLocked();
    void EnsureSlot(int64_t n);
    void TrimLocked();
    void CheckRefsLocked();

    std::atomic<VARTYPE> canonical_vt_;
    std::vector<TVQTSample> samples_;
    int64_t shift_ = 0;
    int64_t next_ = 0;
    uint32_t total_refs_ = 0;
    uint8_t notify_pending_ = 0;
    uint64_t update_tick_ = 0;
    TSyncLock lock_;
};

// The service's own parameter leaves.
class TSoftLeafItem : public TLeafItem {
  public:
    using TLeafItem::TLeafItem;
};

class TSysAddrSpcVerItem : public TSoftLeafItem {
  public:
    TSysAddrSpcVerItem();
    uint8_t AccessRights() override { return 1; }
    std::string DescriptionRu() override;
    std::string DescriptionEn() override;
};

class TSysErrStrItem : public TSoftLeafItem {
  public:
    TSysErrStrItem(const std::string& name, int level);
    uint8_t AccessRights() override { return 1; }
    std::string DescriptionRu() override;
    std::string DescriptionEn() override;
    int Level() const { return level_; }

  private:
    int level_;
};

// Placeholder of the fixed address space until the real item arrives.
class TFastStartItem : public TLeafItem {
  public:
    explicit TFastStartItem(const std::string& name);
    uint8_t AccessRights() override { return rights_.load(); }
    void SetAccessRights(uint8_t r) { rights_.store(r); }
    HRESULT GetItemProperty(uint32_t id, LCID locale, Variant& out) override;

  private:
    std::atomic<uint8_t> rights_{1};
};

// --- the OPC group's handle on one leaf ----------------------------------------------------

// A typed 16-byte value record (the DA 1.0 stream form).
struct TypedValue {
    VARTYPE vt = plat::VT_EMPTY;
    uint16_t reserved[3] = {};
    union {
        int16_t i2;
        int32_t i4;
        float r4;
        double r8;
        int64_t cy;
        int16_t boolean;
        uint8_t byte;
        uint64_t raw = 0;
    };
};
static_assert(sizeof(TypedValue) == 16);

class TGItem {
  public:
    TGItem(ComPtr<TLeafItem> leaf, const std::string& name, int32_t id);
    // A copy for another group: same leaf and settings, its own cursor.
    static TGItem* CreateCopy(const TGItem& other);
    ~TGItem();
    TGItem(const TGItem&) = delete;
    TGItem& operator=(const TGItem&) = delete;

    // decisions CORE-7
    int UnreadCount(bool flag);
    void CommitCursor();
    ComPtr<TLeafItem> GetLeaf(bool resolve, bool flag);
    void Resolve();
    // Reads into `out` (one entry per sample delivered), values converted for `locale`.
    void Read(bool flag, LCID locale, std::vector<SampleRead>& out, int& counter,
              bool& bad_quality);
    // The entry a group delivers for a null handle.
    static void ReadNull(std::vector<SampleRead>& out, int& counter);
    // Reads the newest value into a typed record (value and errors as Read gives them).
    SampleRead ReadTyped(LCID locale, TypedValue& typed, int& counter, bool& bad_quality);

    // Settings of the owning group.
    int32_t id = -1;
    std::string name;
    uint8_t buffer_enable = 0;
    uint8_t timestamp_control = 0;
    uint8_t real_hardware = 0;
    uint32_t client_handle = 0;
    VARTYPE requested_type = plat::VT_EMPTY;
    uint8_t active = 1;
    int32_t count_to_read = -1;
    uint8_t lost = 0;

    int64_t Cursor() const { return cursor_; }
    int64_t PendingCursor() const { return pending_; }

  private:
    friend class TLeafItem;
    void ReleaseHeld();

    int64_t cursor_ = -1;
    int64_t pending_ = -1;
    ComPtr<TLeafItem> leaf_;
    uint32_t retry_tick_ = 0;
    bool retry_armed_ = false;
};

// --- namespace functions -------------------------------------------------------------------

void InitNameSpace();
void DoneNameSpace();
bool NameSpaceActive();

int32_t FindItemID(const std::string& full_name);
int32_t FindLeafID(const std::string& full_name);
std::string JoinItemName(const std::string& parent, const std::string& name);
int32_t FindOrCreateBranch(int32_t parent_id, const std::string& parent_full_name,
                           const std::string& name);
int32_t GetParentID(int32_t id);
std::string GetItemFullName(int32_t id);
void BumpAddrSpaceVer(TLeafItem* item, bool flag);
std::string ItemInfoToText(TLeafItem& leaf);
void TextToItemInfo(TLeafItem& leaf, const std::string& text);
void RenewStaleSample(TLeafItem& leaf);

// The item with that id, typed (null when absent or of another class).
ComPtr<TItem> GetItem(int32_t id);
template <class T>
ComPtr<T> GetItemAs(int32_t id) {
    ComPtr<TItem> item = GetItem(id);
    return ComPtr<T>(dynamic_cast<T*>(item.Get()));
}
// One past the highest id in use.
int32_t ItemTableCount();
// All (full name, id) pairs, in name order.
std::vector<std::pair<std::string, int32_t>> ListItemNames();

// Branch class used by FindOrCreateBranch.
void SetBranchFactory(ItemFactory factory);
ComPtr<TItem> MakeBasicBranch(const std::string& name);

// Fixed address space (placeholders stand in for removed leaves).
void SetFixedAddressSpace(bool on);
bool FixedAddressSpace();
// Cleared by every namespace change; the address-space saver sets it after a save.
std::atomic<bool>& AddrSpaceSaved();

DATE ServerStartTime();
ComPtr<TLeafItem> AddrSpaceVerItem();
ComPtr<TLeafItem> LastErrorItem(int level);

// VARIANT arrays in task-allocator memory, for the OPC face.
Variant* AllocVariantArray(size_t count);
void FreeVariantArray(Variant*& p, size_t count);

// Writes "I <id> <text>" to the global log when that level is wanted.
void ItemLog(int32_t id, const std::string& text, int level, std::string_view key = {});

}  // namespace drv
