// The post cache that maps (post, variable) to item ids, and the post items' values as the
// interface carries them: what a TStation and its event thread read of the item tree.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "service/core/items/ItemTree.h"
#include "service/host/StationTable.h"
#include "service/typelib/TypeLib.h"

namespace drv {

constexpr int kMaxPresentCodes = 112;

struct TPostRecord {
    std::array<int32_t, kMaxPresentCodes> codes{};  // present variable codes, table order
    int32_t count = 0;                              // present variables
    std::array<uint8_t, kPostIndexCount> present{};
    std::array<int32_t, kPostIndexCount> ids{};  // -1 = absent

    TPostRecord() { ids.fill(-1); }
    bool Has(int index) const {
        return index >= kFirstPostIndex && index <= kLastPostIndex &&
               present[static_cast<size_t>(index - kFirstPostIndex)] != 0;
    }
    int32_t ItemID(int index) const {
        return Has(index) ? ids[static_cast<size_t>(index - kFirstPostIndex)] : -1;
    }
};

// All look-ups rebuild the cache first when the address-space version moved.
// Copy of the post's record; false when no item of the post is known (Has(-1) tells whether
// it has its State item, which makes it a post for the clients).
bool GetPostRecord(int post, TPostRecord& out);
// Item id of (post, index), -1 when absent.
int32_t PostItemID(int post, int index);
// The live item of (post, index), null when absent.
ComPtr<TLeafItem> PostItem(int post, int index);
// Posts that have a State item, ascending.
std::vector<int> PostsWithState();
// Which (post, index) an item id belongs to; false for any other item.
bool FindPostOfItem(int32_t id, int& post, int& index);
// The AddrSpaceVer item's value (-1 without an item tree).
int32_t CurrentAddrSpaceVersion();
// Makes the next look-up rebuild (the namespace hook calls it).
void InvalidatePostCache();
// Empties the cache (the station list's start and stop).
void ClearPostCache();

// --- values as the interface carries them ---------------------------------------------------

// The State item's value and the time of its newest sample; csUnknown while it has none.
tlb::TState ReadStateValue(TLeafItem& item);
// A variable's newest value as Currency (a Boolean as 0 or 1) and its time stamp; the
// conversion's error when the value is no number.
HRESULT ReadVariableValue(TLeafItem& item, tlb::TVariableValue& out);

}  // namespace drv
