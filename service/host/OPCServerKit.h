// What the parts of TOPCServer share (private to service/host): the client's string arguments
// in and task-memory strings out.
#pragma once
#include <string>

#include "platform/types/hresult.h"
#include "platform/types/wstr.h"
#include "service/host/Enum.h"

namespace drv {

// Reads a client's string argument; null is empty.
inline std::u16string Arg(const char16_t* s) {
    return s ? std::u16string(s) : std::u16string();
}

inline plat::HRESULT TaskString(const std::string& utf8, char16_t** out) {
    *out = WideToTaskMem(plat::Utf8ToWide(utf8));
    return *out ? plat::S_OK : plat::E_OUTOFMEMORY;
}

}  // namespace drv
