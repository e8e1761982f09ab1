#include "tools/zrnsim/Family.h"

#include <map>
#include <mutex>

namespace zrnsim {

const ReadSpec* FamilyTable::FindRead(char command, int version) const {
    for (const ReadSpec& r : reads)
        if (r.command == command && version >= r.min_version && version <= r.max_version) return &r;
    return nullptr;
}

const WriteSpec* FamilyTable::FindWrite(char command) const {
    for (const WriteSpec& w : writes)
        if (w.command == command) return &w;
    return nullptr;
}

const ParamLayout& FamilyTable::LayoutFor(int version) const {
    static const ParamLayout kNone;
    const ParamLayout* best = nullptr;
    for (const ParamLayout& l : layouts)
        if (l.min_version <= version && (!best || l.min_version >= best->min_version)) best = &l;
    return best ? *best : kNone;
}

int FamilyTable::Decimals(const std::vector<DecimalsRule>& rules, int fallback, int version,
                          const uint8_t* params) {
    for (const DecimalsRule& r : rules)
        if (version >= r.min_version && version <= r.max_version &&
            (r.param == 0 || (params[r.param] & r.mask) == r.value))
            return r.decimals;
    return fallback;
}

bool FamilyTable::ChecksumLow(int version) const {
    for (uint8_t v : checksum_low_versions)
        if (v == version) return true;
    return false;
}

namespace {

using Defaults = std::vector<std::pair<uint8_t, uint8_t>>;

void Append(Defaults& to, const Defaults& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// Families 40 and 41. Configuration bytes: parameter 36 bits 0..3 clear offer earthing, the
// gangway, the loading arm and the temperature; parameter 37 bit 6 offers mass counting
// (from version 68). Parameter 35 holds the inputs (0x40 overfill, bit 3 / bit 0 arm and
// gangway). Calibration factors are three BCD pairs read as DDD.DDD (1.000 = 00 10 00).
FamilyTable Family40() {
    FamilyTable t;
    t.name = "40";
    t.families = {40};
    t.reads = {{'X', Quantity::Param, 2},
               {'D', Quantity::CurrentV, 6},
               {'Q', Quantity::Dose, 6},
               {'S', Quantity::TotalV, 8},
               {'T', Quantity::TotalW, 8}};
    t.writes = {{'x', Action::WriteParam, 4},
                {'d', Action::SetDose},
                {'s', Action::Stop, 0},
                {'u', Action::Continue, 0}};
    t.status.earthed_bit = 0x10;
    t.volume_decimals = 0;
    t.unlock_data = "6052";
    t.total_write_decimals = 4;  // P..P+3 whole units, P+4 and P+5 written as 00
    t.pause_reason_param = 46;
    t.inspector_param = 38;
    t.flow_per_second = 10 * 10000;
    t.checksum_low_versions = {8};

    const Defaults common = {{35, 0x00}, {36, 0x00}, {37, 0x40}, {38, 0x00},
                             {39, 0x00}, {46, 0x00}, {47, 0x00}};
    ParamLayout old;  // before version 68
    old.min_version = 0;
    old.address = 63;
    old.total_v = 40;
    old.temperature = 75;
    old.defaults = common;
    Append(old.defaults, {{57, 0x00},
                          {58, 0x10},
                          {59, 0x00},  // CalibV 1.000
                          {61, 0x00},
                          {62, 0x10},  // FullUp 10
                          {64, 0x30},  // flow time-out 30
                          {65, 0x00},
                          {66, 0x05},    // FullDown 5
                          {75, 0x15},    // 15 degrees
                          {80, 0x05}});  // air valve 5
    ParamLayout v68;
    v68.min_version = 68;
    v68.address = 86;
    v68.total_v = 48;
    v68.temperature = 96;
    v68.defaults = common;
    Append(v68.defaults, {{77, 0x00},
                          {78, 0x10},
                          {79, 0x00},  // CalibV 1.000
                          {80, 0x00},
                          {81, 0x10},
                          {82, 0x00},  // CalibW 1.000
                          {84, 0x00},
                          {85, 0x10},  // FullUp 10
                          {87, 0x30},  // flow time-out 30
                          {88, 0x00},
                          {89, 0x05},  // FullDown 5
                          {96, 0x15},
                          {97, 0x05}});  // 15 degrees; air valve 5
    ParamLayout v73 = v68;
    v73.min_version = 73;
    v73.fine_temperature = true;  // 96 whole degrees, 97 hundredths; air valve moves to 98
    v73.defaults = common;
    Append(v73.defaults, {{77, 0x00},
                          {78, 0x10},
                          {79, 0x00},
                          {80, 0x00},
                          {81, 0x10},
                          {82, 0x00},
                          {84, 0x00},
                          {85, 0x10},
                          {87, 0x30},
                          {88, 0x00},
                          {89, 0x05},
                          {96, 0x15},
                          {97, 0x00},
                          {98, 0x05}});
    t.layouts = {old, v68, v73};
    return t;
}

// Family 41: the 40 protocol without temperature, arm, gangway or mass; one parameter map
// whatever the version (FullDown at 89).
FamilyTable Family41() {
    FamilyTable t = Family40();
    t.name = "41";
    t.families = {41};
    std::erase_if(t.reads, [](const ReadSpec& r) { return r.command == 'T'; });
    t.checksum_low_versions.clear();
    ParamLayout l;
    l.min_version = 0;
    l.address = 86;
    l.total_v = 48;
    l.defaults = {{35, 0x00}, {36, 0x00}, {37, 0x00}, {38, 0x00}, {39, 0x00},
                  {46, 0x00}, {77, 0x00}, {78, 0x10}, {79, 0x00},  // CalibV 1.000
                  {84, 0x00}, {85, 0x10},                          // FullUp 10
                  {87, 0x30},                                      // flow time-out 30
                  {89, 0x00}, {90, 0x05}};                         // FullDown 5
    t.layouts = {l};
    return t;
}

// Families 46, 47, 20 (versions 101 and 104) and 90: volume with decimals, money, mass.
// Configuration: 33 (bits 2..3 = 01 mass, bit 5 side post, bit 1 fault), 35 (bit 3 no
// temperature, bits 1..2 price decimals 1 or 0, bits 0 and 5 fault), 36 (bit 6 calibration),
// 37 (bit 6 one volume decimal, else bit 5 none, else two; bits 1, 3, 4, 7 fault). Family 90:
// versions 1..3 one volume decimal; from 4 the decimals follow 130 (0, 1, 2 → 2, 1, 0 decimals)
// or else the high nibble of 129; 128 holds an exception code, 176 the inputs.
FamilyTable Family46() {
    FamilyTable t;
    t.name = "46";
    t.families = {46, 47, 20, 90};
    t.reads = {{'X', Quantity::Param, 2},  {'D', Quantity::CurrentV, 6},
               {'Q', Quantity::Dose, 6},   {'K', Quantity::CurrentW, 6},
               {'S', Quantity::TotalV, 8}, {'T', Quantity::TotalW, 8},
               {'C', Quantity::Price, 4}};
    t.writes = {{'x', Action::WriteParam, 4},
                {'d', Action::SetDose},
                {'c', Action::SetPrice},
                {'s', Action::Stop, 0},
                {'u', Action::Continue, 0}};
    t.volume_decimals = 2;
    t.volume_rules = {
        {.min_version = 1, .max_version = 3, .decimals = 1},  // family 90's oldest
        {.min_version = 4,
         .max_version = 18,
         .param = 130,
         .mask = 0xFF,
         .value = 0,
         .decimals = 2},
        {.min_version = 4,
         .max_version = 18,
         .param = 130,
         .mask = 0xFF,
         .value = 1,
         .decimals = 1},
        {.min_version = 4,
         .max_version = 18,
         .param = 130,
         .mask = 0xFF,
         .value = 2,
         .decimals = 0},
        {.min_version = 4,
         .max_version = 18,
         .param = 129,
         .mask = 0xF0,
         .value = 0x00,
         .decimals = 0},
        {.min_version = 4,
         .max_version = 18,
         .param = 129,
         .mask = 0xF0,
         .value = 0x10,
         .decimals = 1},
        {.min_version = 4,
         .max_version = 18,
         .param = 129,
         .mask = 0xF0,
         .value = 0x20,
         .decimals = 2},
        {.min_version = 19, .param = 37, .mask = 0x40, .value = 0x40, .decimals = 1},
        {.min_version = 19, .param = 37, .mask = 0x20, .value = 0x20, .decimals = 0},
    };
    t.price_decimals = 2;
    t.price_rules = {{.param = 35, .mask = 0x06, .value = 0x02, .decimals = 1},
                     {.param = 35, .mask = 0x06, .value = 0x04, .decimals = 0}};
    t.stop_disarms = true;
    t.pause_reason_param = 46;
    t.inspector_param = 72;
    t.flow_per_second = 10 * 10000;

    ParamLayout l;  // 46, 47, 20 and family 90 before version 4
    l.min_version = 0;
    l.address = 96;
    l.temperature = 163;
    l.fine_temperature = true;  // read by family 90 only
    l.defaults = {{33, 0x00},  {35, 0x00},  {36, 0x40},  {37, 0x00},
                  {46, 0x00},  {72, 0x00},  {73, 0x00},                // inspector
                  {97, 0x00},  {98, 0x10},  {99, 0x00},                // CalibV 1.000
                  {100, 0x15}, {101, 0x00},                            // LabTemperature 15.00
                  {102, 0x75}, {103, 0x00},                            // LabDensity 0.7500
                  {108, 0x00}, {109, 0x30},                            // flow time-out 30
                  {112, 0x00}, {113, 0x10}, {114, 0x00}, {115, 0x05},  // FullUp 10, FullDown 5
                  {125, 0x10}, {126, 0x05}};                           // one-pair FullUp/Down
    ParamLayout ff = l;                                                // family 90 from version 4
    ff.min_version = 4;
    ff.defaults.insert(
        ff.defaults.end(),
        {{108, 0x30}, {128, 0x00}, {129, 0x12}, {130, 0x01}, {176, 0x00}, {27, 0x10}, {28, 0x00}});
    t.layouts = {l, ff};
    return t;
}

// Families 1 and 2: two sides, one controller address each. Parameter 80 holds the first
// side's address, 81 the second's (a test sets them to the addresses it uses; a write of the
// own side's parameter moves the controller). 37 bit 3 price in tenths, else 46 bit 0 whole.
// Totalizer pairs from 50 (first side) hold six integer and six decimal digits.
FamilyTable Family1() {
    FamilyTable t;
    t.name = "1";
    t.families = {1, 2};
    t.reads = {{'X', Quantity::Param, 2},
               {'D', Quantity::CurrentV, 6},
               {'Q', Quantity::Dose, 6},
               {'S', Quantity::TotalV, 8},
               {'C', Quantity::Price, 4}};
    t.writes = {{'x', Action::WriteParam, 4},
                {'d', Action::SetDose},
                {'c', Action::SetPrice},
                {'s', Action::Stop, 0},
                {'u', Action::Continue, 0}};
    t.volume_decimals = 2;
    t.price_rules = {{.param = 37, .mask = 0x08, .value = 0x08, .decimals = 1},
                     {.param = 46, .mask = 0x01, .value = 0x01, .decimals = 0}};
    t.unlock_data = "6052";
    t.total_write_decimals = 6;
    t.inspector_param = 38;
    t.flow_per_second = 10 * 10000;
    ParamLayout l;
    l.address = 80;
    l.total_v = 50;
    l.defaults = {{37, 0x00}, {38, 0x00}, {39, 0x00}, {46, 0x00},
                  {40, 0x00}, {41, 0x10}, {42, 0x00},  // CalibV 1.000, first side
                  {43, 0x00}, {44, 0x10}, {45, 0x00},  // second side
                  {82, 0x05}, {219, 0x30}};
    t.layouts = {l};
    return t;
}

// Families 10 and 19: one controller address per nozzle. The extended table ('Y'/'y') holds at
// 0x80 + 16 × position each position's address (a test fills them) and from that code + 11
// the position's calibration pairs. Parameter 35 bits 2..3 shift the dose digits; status bit 7
// marks the nozzle the side shows and bit 4 the start/stop button (a test sets them).
FamilyTable Family10() {
    FamilyTable t;
    t.name = "10";
    t.families = {10, 19};
    t.reads = {{'X', Quantity::Param, 2},    {'Y', Quantity::ExtParam, 2},
               {'D', Quantity::CurrentV, 6}, {'Q', Quantity::Dose, 6},
               {'S', Quantity::TotalV, 8},   {'C', Quantity::Price, 4}};
    t.writes = {{'x', Action::WriteParam, 4}, {'y', Action::WriteExtParam, 4},
                {'d', Action::SetDose},       {'c', Action::SetPrice},
                {'s', Action::Stop, 0},       {'u', Action::Continue, 0}};
    t.volume_decimals = 2;
    t.flow_per_second = 10 * 10000;
    ParamLayout l;
    l.defaults = {{35, 0x00}, {38, 0x00}, {39, 0x00}, {48, 0x00}, {64, 0x00},
                  {80, 0x05}, {81, 0x00}, {82, 0x00}, {83, 0x30}};
    t.layouts = {l};
    return t;
}

// Families 30 and 32: counters that only report, answering from address 0x80 + a. The status
// character holds the counter type in its high nibble (0x90: type 10) and the counter code in
// its low one, whatever the state. Version 12 answers 'D' in whole units (6 digits), 'S' in
// thousands (8 digits) and 'C' with 2 implied decimals (6 digits), and keeps its identity in
// 188/189 as well; the later versions put a ',' before two decimals ('D' 6, 'S' 9 characters:
// six integer digits, the millions in parameter 48; 'C' 5) and answer 'Z'. Parameter 64 holds
// the address; versions 65 and 67 carry out 's' and 'x' without answering.
FamilyTable Family30() {
    FamilyTable t;
    t.name = "30";
    t.families = {30, 32};
    t.reads = {
        {'X', Quantity::Param, 2},
        {.command = 'D',
         .what = Quantity::CurrentV,
         .width = 6,
         .decimals = 0,
         .own_decimals = true,
         .max_version = 12},
        {.command = 'S',
         .what = Quantity::TotalV,
         .width = 8,
         .decimals = -3,
         .own_decimals = true,
         .max_version = 12},
        {.command = 'C', .what = Quantity::Flow, .width = 6, .decimals = 2, .max_version = 12},
        {.command = 'D',
         .what = Quantity::CurrentV,
         .width = 6,
         .decimals = 2,
         .own_decimals = true,
         .comma = true},
        {.command = 'S',
         .what = Quantity::TotalV,
         .width = 9,
         .decimals = 2,
         .own_decimals = true,
         .comma = true},
        {.command = 'C', .what = Quantity::Flow, .width = 5, .decimals = 2, .comma = true},
        {.command = 'Z', .what = Quantity::Temperature, .width = 5, .decimals = 1},
    };
    t.writes = {{'x', Action::WriteParam, 4, {65, 67}}, {'s', Action::Stop, 0, {65, 67}}};
    t.status = {.idle = 0x91, .waiting_key = 0x91, .working = 0x91, .paused = 0x91};
    t.answer_address_flags = 0x80;
    t.volume_decimals = 2;
    t.flow_per_second = 10 * 10000;
    ParamLayout v12;
    v12.min_version = 0;
    v12.address = 64;
    v12.identity = 188;
    ParamLayout later;
    later.min_version = 13;
    later.address = 64;
    later.total_millions = 48;
    t.layouts = {v12, later};
    return t;
}

// Any other family: parameter reads and writes, which is all the probe needs.
FamilyTable Generic() {
    FamilyTable t;
    t.name = "generic";
    t.reads = {{'X', Quantity::Param, 2}};
    t.writes = {{'x', Action::WriteParam, 4}};
    t.volume_decimals = 2;
    return t;
}

struct Registry {
    std::mutex m;
    std::map<int, std::shared_ptr<const FamilyTable>> tables;
    std::shared_ptr<const FamilyTable> generic = std::make_shared<const FamilyTable>(Generic());

    Registry() { LoadBuiltIns(); }
    void Add(FamilyTable t) {
        auto p = std::make_shared<const FamilyTable>(std::move(t));
        for (uint8_t f : p->families) tables[f] = p;
    }
    void LoadBuiltIns() {
        tables.clear();
        Add(Family40());
        Add(Family41());
        Add(Family46());
        Add(Family1());
        Add(Family10());
        Add(Family30());
    }
};

Registry& Reg() {
    static Registry r;
    return r;
}

}  // namespace

std::shared_ptr<const FamilyTable> FindFamily(int family) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lk(r.m);
    auto it = r.tables.find(family);
    return it != r.tables.end() ? it->second : r.generic;
}

void RegisterFamily(FamilyTable table) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lk(r.m);
    r.Add(std::move(table));
}

void ResetFamilies() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lk(r.m);
    r.LoadBuiltIns();
}

}  // namespace zrnsim
