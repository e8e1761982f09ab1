// The simplified access's variable table and the names of post items.
#include <array>
#include <stdexcept>
#include <string>

#include "service/core/posts/PostVariables.h"
#include "service/host/StationTable.h"

namespace drv {

namespace {

// --- static variable table ------------------------------------------------------------------

struct VarRow {
    int index;
    const char* name;
    bool offered;
    bool writable;
    double min, max, step;
    int belongs_to;
};

constexpr VarRow kVarRows[kPostIndexCount] = {
    {-1, "State", true, false, 0, 0, 0, 0},
    {0, "StartStop", true, false, 0, 1, 1, 0},
    {1, "Earthed", true, false, 0, 1, 1, 0},
    {2, "HandleState", true, false, 0, 1, 1, 0},
    {3, "DozeV", true, true, 0.01, 999999.99, 0.01, 0},
    {4, "DozeM", true, true, 0.01, 999999.99, 0.01, 0},
    {5, "DozeW", true, true, 0.01, 999999.99, 0.01, 0},
    {6, "CurrentV", true, false, 0, 999999.99, 0.01, 0},
    {7, "CurrentM", true, false, 0, 999999.99, 0.01, 0},
    {8, "CurrentW", true, false, 0, 999999.99, 0.01, 0},
    {9, "TotalV", true, false, 0, 999999999999.0, 0.01, 0},
    {10, "TotalM", false, false, 0, 0, 0, 0},
    {11, "TotalW", true, false, 0, 999999999999.0, 0.01, 0},
    {12, "Temperature", true, false, -60, 90, 0.01, 2},
    {13, "LiterPrice", true, true, 0.01, 99.99, 0.01, 0},
    {14, "CalibV", false, false, 0, 0, 0, 0},
    {15, "Inspector", true, false, 0, 268435455, 1, 2},
    {16, "FullUp", false, false, 0, 0, 0, 0},
    {17, "FullDown", false, false, 0, 0, 0, 0},
    {18, "USSWaitTime", false, false, 0, 0, 0, 0},
    {19, "AirTime", false, false, 0, 0, 0, 0},
    {20, "TrapState", true, false, 0, 1, 1, 0},
    {21, "Propan", false, false, 0, 0, 0, 0},
    {22, "KGPrice", false, false, 0, 0, 0, 0},
    {23, "BasePost", false, false, 0, 0, 0, 0},
    {24, "Side", false, false, 0, 0, 0, 0},
    {25, "Pistol", false, false, 0, 0, 0, 0},
    {26, "FirmwareVersion", false, false, 0, 0, 0, 0},
    {27, "ControllerVersion", false, false, 0, 0, 0, 0},
    {28, "CounterVersion", false, false, 0, 0, 0, 0},
    {29, "Productivity", true, false, 0, 99999999, 0.0001, 0},
    {30, "OverFill", true, false, 0, 1, 1, 0},
    {31, "IndicatedPistol", false, false, 0, 0, 0, 0},
    {32, "Address", false, false, 0, 0, 0, 0},
    {33, "LabDensity", false, false, 0, 0, 0, 0},
    {34, "LabTemperature", false, false, 0, 0, 0, 0},
    {35, "Density", true, false, 0, 2, 0.0001, 0},
    {36, "StateWithFlags", true, false, 0, 255, 1, 0},
    {37, "CalibW", false, false, 0, 0, 0, 0},
    {38, "SidePost", false, false, 0, 0, 0, 0},
    {39, "Exception", true, false, 0, 16777215, 1, 0},
    {40, "ReqS", false, false, 0, 0, 0, 0},
};

// The controllers name their price item "PriceV"; without this second name the offered price
// entry could never be found.
// decisions HOST-30
constexpr int kPriceIndex = 13;
constexpr std::string_view kPriceItemName = "PriceV";

std::array<TStationVar, kPostIndexCount> BuildVarTable() {
    std::array<TStationVar, kPostIndexCount> t{};
    for (const VarRow& r : kVarRows) {
        TStationVar& e = t[static_cast<size_t>(r.index - kFirstPostIndex)];
        e.name = r.name;
        // An entry that is not offered keeps a zero descriptor, whose Code (0) differs from
        // its index; entry -1 carries -1.
        if (!r.offered) continue;
        e.info.Code = static_cast<tlb::TVariableEnum>(r.index);
        if (r.index < 0) continue;
        e.info.IsReadable = plat::VARIANT_TRUE;
        e.info.IsWriteable = r.writable ? plat::VARIANT_TRUE : plat::VARIANT_FALSE;
        e.info.MinValue.int64 = UnitsToFixed(r.min);
        e.info.MaxValue.int64 = UnitsToFixed(r.max);
        e.info.Step.int64 = UnitsToFixed(r.step);
        e.info.BelongsTo = static_cast<int8_t>(r.belongs_to);
        e.info.IsRandom = plat::VARIANT_FALSE;
    }
    return t;
}

const std::array<TStationVar, kPostIndexCount>& VarTable() {
    static const std::array<TStationVar, kPostIndexCount> table = BuildVarTable();
    return table;
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

// --- table and names --------------------------------------------------------------------------

const TStationVar& StationVar(int index) {
    if (index < kFirstPostIndex || index > kLastPostIndex)
        throw std::out_of_range("station variable " + std::to_string(index));
    return VarTable()[static_cast<size_t>(index - kFirstPostIndex)];
}

bool IsOfferedIndex(int index) {
    if (index < kFirstPostIndex || index > kLastPostIndex) return false;
    return index == kFirstPostIndex || StationVar(index).info.Code == index;
}

TPostItemName ParsePostItemName(std::string_view full) {
    TPostItemName none;
    if (full.size() < 6 || !EqualsNoCaseAscii(full.substr(0, 4), "Post")) return none;
    size_t pos = 4;
    int post = 0;
    const size_t digits_start = pos;
    while (pos < full.size() && full[pos] >= '0' && full[pos] <= '9') {
        post = post * 10 + (full[pos] - '0');
        if (post > kMaxPostNumber) return none;
        ++pos;
    }
    const size_t digits = pos - digits_start;
    // "Post%d" never writes leading zeros, so "Post07.State" names another item.
    if (digits == 0 || (digits > 1 && full[digits_start] == '0') || post < 1) return none;
    if (pos >= full.size() || full[pos] != '.') return none;
    const std::string_view var = full.substr(pos + 1);
    for (int i = kFirstPostIndex; i <= kLastPostIndex; ++i) {
        if (!IsOfferedIndex(i)) continue;
        if (EqualsNoCaseAscii(var, StationVar(i).name)) return {post, i};
    }
    if (EqualsNoCaseAscii(var, kPriceItemName)) return {post, kPriceIndex};
    return none;
}

}  // namespace drv
