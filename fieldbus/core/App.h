// The library's process-wide state: the host's callback table, the library log, the host's
// search flag and the flat-posts flag, and the four exports the service calls.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/HostCalls.h"

#if defined(__GNUC__)
#define MB_EXPORT __attribute__((visibility("default")))
#else
#define MB_EXPORT
#endif

namespace mb {

class CLogFile;

// The library log's file name (the log adds the generation digit).
inline constexpr const char* kLibraryLogName = "ModbusDevice.lg";

// The flat-posts flag as the service's port manager reads "Parameters": posts are flat unless
// the string holds FLATPOSTS=0 (a key at the start or after a blank, any case, first pair wins,
// an empty value counts as absent). 1 flat, 0 not.
int32_t FlatPostsFromParameters(std::string_view parameters);

// What a mode string of MBCreateThread asks for.
struct PortMode {
    int32_t protocol = 0;  // 0 Modbus, 1 board bus, 2 DCON
    int32_t parity = 0;    // 0 none, 2 even
    int32_t baud = 0;
    bool emulation = false;
};

enum class ModeError { kNone, kProtocol, kParity, kBaud };

// The refusal tag of each part of the mode string; empty for kNone.
const char* ModeErrorTag(ModeError error);

// "<M|T|I><E|N><baud>[...E]": the baud is read as atoi reads it; a final 'E' on a string of at
// least four characters asks for emulation. Null reads as an empty string.
ModeError ParseMode(const char* mode, PortMode& out);

class CModbusApp {
  public:
    CModbusApp();
    ~CModbusApp();
    CModbusApp(const CModbusApp&) = delete;
    CModbusApp& operator=(const CModbusApp&) = delete;

    // Stores the table, opens the library log and reads the flat-posts flag. While the library
    // is initialised a second call keeps the first table and log: bus threads read both without
    // a lock. Always 1.
    uint8_t Initialize(const HostCallbacks& table);
    // Closes the library log and forgets the table, unless bus threads still run: they write
    // to that log, so it then stays open (until the library is unloaded or a later Finalize).
    void Finalize();
    bool Initialized() const { return initialized_.load(std::memory_order_acquire); }

    // The library log; null before Initialize and after Finalize.
    CLogFile* Log() const { return log_.load(std::memory_order_acquire); }
    // The guarded table reporting to the library log; one that offers nothing before
    // Initialize and after Finalize.
    CHostCalls Calls() const;
    // What a new port is handed: the guarded table and the flat-posts flag, "Parameters" read
    // again for it.
    BusContext NewBusContext();
    // The host's search flag is 1 (never before Initialize).
    bool SearchWanted() const;

    int32_t FlatPosts() const { return flat_posts_.load(); }
    // Reads "Parameters" again (each port thread does on construction) and returns the flag.
    int32_t ReadFlatPosts();

    // Bus threads alive; MBCreateThread and MBDestroyThread keep the count.
    void BusThreadStarted() { live_threads_.fetch_add(1); }
    void BusThreadEnded() { live_threads_.fetch_sub(1); }
    int32_t LiveBusThreads() const { return live_threads_.load(); }

    // The host callbacks through Calls(): a callback that throws (or is missing) is reported
    // in `log` (the library log when null) with its tag and the call counts as failed.
    bool ItemFind(const char16_t* name, int16_t& is_leaf, int32_t& parent, int32_t& handle,
                  CLogFile* log = nullptr) const;
    bool ItemCreate(IModbusItem* item, const char16_t* name, plat::VARTYPE vt, uint8_t access,
                    int32_t parent, const char* description, int32_t& handle,
                    CLogFile* log = nullptr) const;
    bool ItemDestroy(int32_t handle, CLogFile* log = nullptr) const;
    bool ParentCreate(const char16_t* name, int32_t parent, int32_t& handle,
                      CLogFile* log = nullptr) const;
    bool CmdNewID(int32_t& id, CLogFile* log = nullptr) const;
    bool CmdSetResult(int32_t id, int32_t result, CLogFile* log = nullptr) const;
    // A callback that fails counts as "not cancelled", so the command still gets its result.
    bool CmdIsCancelled(int32_t id, CLogFile* log = nullptr) const;
    bool NewSample(int32_t handle, const plat::Variant& value, uint16_t quality,
                   const plat::FILETIME& time, CLogFile* log = nullptr) const;
    bool UpdateTS(int32_t handle, const plat::FILETIME& time, CLogFile* log = nullptr) const;

  private:
    std::mutex lifecycle_;  // Initialize and Finalize
    HostCallbacks table_;
    std::atomic<CLogFile*> log_{nullptr};
    std::atomic<bool> initialized_{false};
    std::atomic<int32_t> flat_posts_{1};
    std::atomic<int32_t> live_threads_{0};
};

// The library's one application object.
CModbusApp& App();

}  // namespace mb

// The exports, by name and with C linkage (types in HostApi.h).
extern "C" {
MB_EXPORT uint8_t MBInitialize(mb::PItemFind item_find, mb::PItemCreate item_create,
                               mb::PItemDestroy item_destroy, mb::PParentCreate parent_create,
                               mb::PCmdNewID cmd_new_id, mb::PCmdSetResult cmd_set_result,
                               mb::PCmdIsCancelled cmd_is_cancelled, mb::PNewSample new_sample,
                               mb::PUpdateTS update_ts, const mb::SearchFlag* search_flag);
MB_EXPORT void* MBCreateThread(int32_t port, const char* mode, int32_t shift, int32_t* status_cell,
                               int32_t* info_cell, void* emulator_slot);
MB_EXPORT void MBDestroyThread(void* thread);
MB_EXPORT void MBFinalize();
}
