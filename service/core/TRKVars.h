// Variable descriptors of the dispenser controllers: the common table every controller class
// picks its variables from, and the refresh factors that decide when a value is stale.
#pragma once
#include <array>
#include <bitset>
#include <cstdint>
#include <string>

#include "service/typelib/TypeLib.h"

namespace drv {

// The type library's descriptor, followed by what only the service needs.
struct TVariableInfoEx : tlb::TVariableInfo {
    uint8_t RefreshClass = 0;
    int32_t WriteLevel = 0;
    std::string EnglishDescription;

    bool Defined() const { return !ShortName.empty(); }
};

constexpr int kCommonVarCount = 37;
// Record 36 is empty.
const TVariableInfoEx& CommonVariable(int record);
// A copy of a common record, for a class's descriptor table.
TVariableInfoEx CopyVariableInfo(int record);

constexpr int kRefreshClasses = 10;
constexpr int kRefreshColumns = 3;
// Stale after factor × 5000 ms (strict) or × 20000 ms.
double RefreshFactor(int refresh_class, int column);
// Class 9 values are never stale; only class 2 values are saved.
constexpr uint8_t kRefreshNever = 9;
constexpr uint8_t kRefreshSaved = 2;

using VarSet = std::bitset<256>;
// Codes verified by ratio on write-back.
const VarSet& MoneyVars();
// Codes that the stale-variable pass skips unless a class adds more.
const VarSet& BaseNoRefreshVars();

}  // namespace drv
