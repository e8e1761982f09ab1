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

// Values are fixed point: value × kFixedOne in a signed 64-bit integer (the Currency layout).
constexpr int64_t kFixedOne = 10000;

// Units (as tables write limits and steps) to fixed point, halves away from zero.
int64_t UnitsToFixed(double units);

// Whole units of a fixed-point value, halves away from zero.
constexpr int64_t WholeUnits(int64_t fixed) {
    return (fixed < 0 ? fixed - kFixedOne / 2 : fixed + kFixedOne / 2) / kFixedOne;
}

// One variable record as the tables write it (limits and step in units).
struct VarDef {
    uint8_t code;
    const char* short_name;
    const char* name;
    bool writeable;
    double min, max, step;
    int belongs_to;
    int refresh_class;
    int write_level;
    const char* english;
};

// The descriptor of a record (limits and step in fixed point).
TVariableInfoEx MakeVariableInfo(const VarDef& def);

// The records of the common table. Where a variable has several records they differ in range,
// step or refresh class, and the name says which.
enum class VarRec : uint8_t {
    ControllerVersion = 0,
    FirmwareVersion = 1,
    AddressReadOnly = 2,
    AddressWritable = 3,
    CalibV = 4,
    CalibW = 5,
    PriceVCents = 6,   // step 0.01, up to 99.99
    PriceVTenths = 7,  // step 0.1, up to 999.9
    PriceVWhole = 8,   // step 1, up to 9999
    USSTimeout = 9,
    BasePost = 10,
    SidePost = 11,
    Side = 12,
    Inspector = 13,
    DozeV = 14,
    DozeM = 15,
    CurrentM = 16,
    FullDown = 17,
    CurrentV = 18,
    TotalV = 19,
    TotalW = 20,
    TemperatureWhole = 21,       // step 1 degree
    TemperatureTenths = 22,      // step 0.1
    TemperatureHundredths = 23,  // step 0.01
    LabTemperature = 24,
    LabDensity = 25,
    Density = 26,
    ProductivityNeverStale = 27,  // refresh class 9: never re-read for being old
    ProductivityRefreshed = 28,   // refresh class 6
    StateWithFlags = 29,
    CurrentW = 30,
    Earthed = 31,
    HandleStateOnOff = 32,     // 0..1
    HandleStateThreeWay = 33,  // 0..2
    TrapState = 34,
    OverFill = 35,
    Empty = 36,
};

constexpr int kCommonVarCount = 37;
const TVariableInfoEx& CommonVariable(int record);
// A copy of a common record, for a class's descriptor table.
TVariableInfoEx CopyVariableInfo(int record);
inline TVariableInfoEx CopyVariableInfo(VarRec record) {
    return CopyVariableInfo(static_cast<int>(record));
}

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
