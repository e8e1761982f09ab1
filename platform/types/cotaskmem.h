// The task allocator: memory handed across the object boundary and freed by the receiver.
#pragma once
#include <cstddef>

namespace plat {

// nullptr on failure. A size of 0 still yields a distinct block that must be freed.
void* CoTaskMemAlloc(size_t cb);
// nullptr is ignored.
void CoTaskMemFree(void* pv);
// pv == nullptr allocates; cb == 0 frees pv and returns nullptr; on failure returns nullptr
// and pv stays valid.
void* CoTaskMemRealloc(void* pv, size_t cb);

// Blocks allocated and not yet freed, process-wide (for leak tests).
size_t CoTaskMemLiveBlocks();

// Largest block the allocator hands out (default 0x7FFFFFFF, what a 32-bit client could ever
// get); larger requests fail. Tests lower it to provoke allocation failures. Returns the old cap.
size_t CoTaskMemSetLimit(size_t max_cb);

}  // namespace plat
