// The contract between the service and the field-bus library, included by both sides: the
// library's item interface that the service holds for every device variable, the nine host
// callbacks the library calls, and the library's four exports. Everything here crosses the
// boundary in-process only, between code built by the same compiler from this one header.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/com/unknown.h"
#include "platform/types/datetime.h"
#include "platform/types/hresult.h"
#include "platform/types/variant.h"

namespace mb {

// What a write answers besides 0 and a command id, at once or later as the command's result
// (pCmdSetResult). Clients get these numbers as they are and the service's error texts name
// them, so each keeps its value on both sides. A write may also answer a device's Modbus
// exception (kMbDeviceException + code), a line failure or an HRESULT such as E_FAIL.
// decisions FB-63
enum class WriteResult : int32_t {
    kTimedOut = -1,         // the command found no end within its time
    kNotIdle = -2,          // taken only in the idle state (a post dispensing refuses it)
    kBadVariable = -3,      // no such variable, or a value it cannot carry
    kNoAnswer = -5,         // a native controller did not answer the request (decisions DRV-34)
    kStaleVariables = -8,   // a start refused while a variable stays out of date
    kRefused = -9,          // a post that cannot change its state now, a locked parameter
    kCaptureRefused = -10,  // the address is captured by another client, or cannot be
    kOffline = 1117,        // the device went away or is offline, a search runs
};
// The number that crosses the host API and goes to clients.
constexpr int32_t HostCode(WriteResult r) {
    return static_cast<int32_t>(r);
}

// One device variable as the service sees it. Counted: the service takes a reference when it
// creates its item and gives it back when the library destroys the item (pItemDestroy); after
// that the service never calls it again. The slots are in their fixed order; the service calls
// Write, SetUpdateRequest, QueryAvailableProperties and GetItemProperties.
struct IModbusItem : public virtual plat::IUnknown {
    // Slot 3: read the variable again soon.
    virtual plat::HRESULT RequestRead() = 0;
    // Slot 4: queue a write. The result is a command id (its outcome arrives through
    // pCmdSetResult), WriteResult::kOffline (device offline or search running) or an error
    // code.
    virtual int32_t Write(const plat::Variant& value) = 0;
    // Slot 5.
    virtual plat::HRESULT RequestRefresh() = 0;
    // Slot 6: flag 1 asks for a read-back.
    virtual plat::HRESULT SetUpdateRequest(int32_t flag) = 0;
    // Slot 7: task-allocated arrays (plat::CoTaskMemAlloc) of *count ids, descriptions
    // (NUL-terminated UTF-16, each task-allocated) and types; the caller frees them all.
    virtual plat::HRESULT QueryAvailableProperties(uint32_t* count, uint32_t** ids,
                                                   char16_t*** descriptions,
                                                   plat::VARTYPE** types) = 0;
    // Slot 8: task-allocated arrays of `count` values (each plat::Variant constructed in place;
    // the caller destroys them before freeing) and errors.
    virtual plat::HRESULT GetItemProperties(uint32_t count, const uint32_t* ids, plat::LCID locale,
                                            plat::Variant** values, plat::HRESULT** errors) = 0;

  protected:
    ~IModbusItem() override = default;
};

// Marks of the access byte handed to pItemCreate. A privileged item is for trusted clients only;
// a quiet one is created and sampled without log lines.
inline constexpr uint8_t kAccessPrivileged = 0x40;
inline constexpr uint8_t kAccessQuiet = 0x80;

// The device-search flag: an aligned 32-bit cell the service sets to 1 while a search is wanted;
// the library only reads it.
using SearchFlag = std::atomic<int32_t>;
static_assert(sizeof(SearchFlag) == 4 && SearchFlag::is_always_lock_free);

extern "C" {

// Item handles are 32-bit integers chosen by the host; a negative one names nothing. Names are
// NUL-terminated UTF-16; the description is NUL-terminated UTF-8. None of the callbacks throws.

// Handle of the named item or branch, or < 0. *is_leaf non-zero: the name is a leaf.
typedef int32_t (*PItemFind)(const char16_t* full_name, int16_t* is_leaf, int32_t* parent);
// Adds the variable under the parent branch; its handle (also through *handle), or < 0 when
// the host refused it. `access`: the low four bits are the rights (1 read, 3 read/write),
// kAccessPrivileged and kAccessQuiet are marks.
typedef int32_t (*PItemCreate)(IModbusItem* item, const char16_t* name, plat::VARTYPE vt,
                               uint8_t access, int32_t parent, const char* description,
                               int32_t* handle);
// Once for every created variable (and for branches) before the library frees it.
typedef void (*PItemDestroy)(int32_t handle);
// A branch under the parent (-1: the root); its handle.
typedef int32_t (*PParentCreate)(const char16_t* name, int32_t parent);
typedef int32_t (*PCmdNewID)();
typedef void (*PCmdSetResult)(int32_t id, int32_t result);
// 1 when the host has given the command up.
typedef uint8_t (*PCmdIsCancelled)(int32_t id);
typedef void (*PNewSample)(int32_t handle, const plat::Variant* value, uint16_t quality,
                           const plat::FILETIME* time);
typedef void (*PUpdateTS)(int32_t handle, const plat::FILETIME* time);

// The library's exports (names "MBInitialize", "MBCreateThread", "MBDestroyThread",
// "MBFinalize"). The status and info cells are entries of the host's per-port status table,
// written by the library only atomically. The emulator slot is an EmulatorSlot (below) or null.
typedef uint8_t (*MBInitializeFn)(PItemFind, PItemCreate, PItemDestroy, PParentCreate, PCmdNewID,
                                  PCmdSetResult, PCmdIsCancelled, PNewSample, PUpdateTS,
                                  const SearchFlag* search_flag);
typedef void* (*MBCreateThreadFn)(int32_t port, const char* mode, int32_t shift,
                                  int32_t* status_cell, int32_t* info_cell, void* emulator_slot);
typedef void (*MBDestroyThreadFn)(void* thread);
typedef void (*MBFinalizeFn)();

// What MBCreateThread's emulator slot points at: the service's emulator registration for one
// COM number. The service keeps the table alive for as long as a port uses it. Emulator
// handles are counted references; every handle `acquire` gives out is given back through
// `release`. Frames are UTF-16 code units 0-255, one per byte; results are HRESULTs.
struct EmulatorSlot {
    void* context;
    // The emulator registered now, referenced under the registration's lock; null when none.
    void* (*acquire)(void* context);
    void (*release)(void* emulator);
    int32_t (*write_call)(void* emulator, const char16_t* units, uint32_t count);
    // Copies at most `capacity` units of the answer; *length receives its whole length.
    int32_t (*read_answer)(void* emulator, char16_t* units, uint32_t capacity, uint32_t* length);
    int32_t (*purge)(void* emulator);
};

}  // extern "C"

// The host-callback table in the order MBInitialize takes it.
struct HostCallbacks {
    PItemFind pItemFind = nullptr;
    PItemCreate pItemCreate = nullptr;
    PItemDestroy pItemDestroy = nullptr;
    PParentCreate pParentCreate = nullptr;
    PCmdNewID pCmdNewID = nullptr;
    PCmdSetResult pCmdSetResult = nullptr;
    PCmdIsCancelled pCmdIsCancelled = nullptr;
    PNewSample pNewSample = nullptr;
    PUpdateTS pUpdateTS = nullptr;
    const SearchFlag* pSearchFlag = nullptr;
};

}  // namespace mb
