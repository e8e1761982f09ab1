// The simplified access's variable table and the names of post items: what a TStation, its
// event thread and the post cache share about posts, below all three.
#pragma once
#include <string_view>

#include "service/typelib/TypeLib.h"

namespace drv {

// Table indexes: -1 is the State item, 0..40 the variable codes.
constexpr int kFirstPostIndex = -1;
constexpr int kLastPostIndex = 40;
constexpr int kPostIndexCount = kLastPostIndex - kFirstPostIndex + 1;  // 42
// Post numbers travel as 16-bit signed values.
constexpr int kMaxPostNumber = 32767;

// One entry of the static variable table.
struct TStationVar {
    std::string_view name;
    tlb::TVariableInfo info;  // Code == index when the entry is offered
};
// The entry at `index` (-1..40); throws std::out_of_range elsewhere.
const TStationVar& StationVar(int index);
// Entry -1 ("State") and the entries whose descriptor Code equals their index.
bool IsOfferedIndex(int index);

// "Post<N>.<Variable>" -> post number and table index (-1 for "State", 0..40 for offered
// variables). Post is -1 when the name does not match.
struct TPostItemName {
    int post = -1;
    int index = 0;
};
TPostItemName ParsePostItemName(std::string_view full_name);

}  // namespace drv
