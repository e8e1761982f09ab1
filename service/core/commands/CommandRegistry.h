// Command registry: ids for asynchronous operations and the results stored under them.
// A caller hands the id to its client at once; the worker that runs the operation stores the
// result; the client polls (CmdQuery) or waits (CmdWait) for it.
#pragma once
#include <cstdint>

#include "service/typelib/TypeLib.h"

namespace drv {

using tlb::TCmdID;

constexpr int32_t kCmdBegin = tlb::CmdBegin;  // 0x7FFF0000
constexpr int32_t kCmdEnd = tlb::CmdEnd;      // 0x7FFFFFFF
constexpr uint32_t kCmdCount = 65536;
static_assert(uint32_t(kCmdEnd) - uint32_t(kCmdBegin) + 1 == kCmdCount);
// Status of an issued command that has no result yet (E_PENDING).
constexpr int32_t kCmdPending = static_cast<int32_t>(0x8000000Au);
// What a query answers for an id that names no command: never issued since start.
constexpr int32_t kCmdUnknown = static_cast<int32_t>(0x80070057u);  // E_INVALIDARG
// A pending command older than this has timed out.
constexpr uint32_t kCmdTimeoutMs = 20000;
// CmdWait rechecks at least this often even without a wake-up.
constexpr uint32_t kCmdWaitSliceMs = 10000;
// Entries one client (one peer of the transport) may hold at once: issued to it and neither
// free again (completed with 0) nor yet open to reuse. Beyond it CmdNewID answers
// E_OUTOFMEMORY to that client at once; callers in the service's own process are not counted.
constexpr uint32_t kCmdClientShare = 1024;

// True for 0x7FFF0000..0x7FFFFFFF; every other value is a final result.
constexpr bool IsCmdID(int32_t v) {
    return tlb::IsCmdID(v);
}

// Created and freed with the item tree. Init zero-fills the table and forgets the last issued
// id; called on a live registry it starts it afresh (no thread may be using it then).
void CmdRegistryInit();
void CmdRegistryDone();

// Next free id, round-robin over the table. With none free, the entry that completed or timed
// out longest ago (more than 20000 ms ago) is issued again; E_OUTOFMEMORY (0x8007000E) only
// when every entry is pending or finished within the last 20000 ms, or when the calling
// client already holds kCmdClientShare entries.
TCmdID CmdNewID();
// Stores the result of a pending command (a result after the time-out is dropped) and wakes
// waiters. Does nothing before the first id was issued; an id outside the range is logged and
// throws drv::Exception("Bad CmdID").
void CmdSetResult(TCmdID id, int32_t result);
// The id itself while pending, -1 (E_TIMEOUT) once 20000 ms passed without a result (the entry
// becomes -7), kCmdUnknown for an id never issued, else the stored status. A value that is no
// id comes back unchanged.
int32_t CmdQuery(int32_t value);
// value := CmdQuery(value); true while it is still an id.
bool CmdIsPending(int32_t& value);
// Blocks until the command has a result or times out; returns the result, or -1 on time-out.
int32_t CmdWait(int32_t value);
// True for a value that is no id, an id never issued, and a command that timed out (-7) or
// failed with -1. A pending command past its time-out is timed out here as in CmdQuery.
bool CmdIsDead(int32_t value);

}  // namespace drv

// CmdSetResult for C callers (the field-bus library's callback table): never throws. A bad id
// or any other failure is logged to the global log and the call returns without effect.
extern "C" void CmdSetResultC(int32_t id, int32_t result) noexcept;
