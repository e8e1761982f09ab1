// The one way from the library into the host: its callback table behind a guard, and what a
// port is handed when it is made (the library reaches for no application object below App).
#pragma once
#include <cstdint>

#include "fieldbus/core/HostApi.h"
#include "platform/types/datetime.h"
#include "platform/types/variant.h"

namespace mb {

class CLogFile;

// Every call of a host callback goes through here. A missing table or callback is not called
// and the call counts as failed; a callback that throws (the host promises not to) is reported
// with its tag in `log` (the guard's own log when null; no report when both are) and counts
// as failed; nothing escapes into the library's threads. A `tag` given replaces the
// callback's own in the report. Outputs keep their defaults when the call fails.
class CHostCalls {
  public:
    CHostCalls() = default;
    // Neither is owned. A null table acts as a host that offers nothing.
    explicit CHostCalls(const HostCallbacks* table, CLogFile* log = nullptr)
        : table_(table), log_(log) {}

    const HostCallbacks* Table() const { return table_; }
    // The callback in that slot is missing (or the whole table is).
    template <class Fn>
    bool Lacks(Fn HostCallbacks::*slot) const {
        return table_ == nullptr || table_->*slot == nullptr;
    }
    // The host's search flag is 1.
    bool SearchWanted() const;

    // `handle` -1 when the call fails.
    bool ItemFind(const char16_t* name, int16_t& is_leaf, int32_t& parent, int32_t& handle,
                  CLogFile* log = nullptr, const char* tag = nullptr) const;
    bool ItemCreate(IModbusItem* item, const char16_t* name, plat::VARTYPE vt, uint8_t access,
                    int32_t parent, const char* description, int32_t& handle,
                    CLogFile* log = nullptr, const char* tag = nullptr) const;
    bool ItemDestroy(int32_t handle, CLogFile* log = nullptr, const char* tag = nullptr) const;
    bool ParentCreate(const char16_t* name, int32_t parent, int32_t& handle,
                      CLogFile* log = nullptr, const char* tag = nullptr) const;
    // `id` 0 when the call fails.
    bool CmdNewID(int32_t& id, CLogFile* log = nullptr, const char* tag = nullptr) const;
    bool CmdSetResult(int32_t id, int32_t result, CLogFile* log = nullptr) const;
    // The host answers 1 for a command it has given up (it answers nothing but 0 and 1). A call
    // that fails counts as "not cancelled", so the command still gets its result.
    bool CmdIsCancelled(int32_t id, CLogFile* log = nullptr) const;
    bool NewSample(int32_t handle, const plat::Variant& value, uint16_t quality,
                   const plat::FILETIME& time, CLogFile* log = nullptr) const;
    bool UpdateTS(int32_t handle, const plat::FILETIME& time, CLogFile* log = nullptr) const;

  private:
    CLogFile* To(CLogFile* log) const { return log != nullptr ? log : log_; }

    const HostCallbacks* table_ = nullptr;
    CLogFile* log_ = nullptr;
};

// What a port's bus thread works with, handed in when the port is made: the guarded host
// table (its search flag among it; its calls report to the library log) and the flat-posts
// flag as "Parameters" held it then.
struct BusContext {
    CHostCalls host;
    bool flat_posts = true;
};

}  // namespace mb
