// What a controller program family answers, as data: the simulator's engine is the same for
// every family, and a family is added by describing it here (or by RegisterFamily at run time).
//
// Answer layouts (answer length = 6 + 1 status character + width):
//   'X'/'Y' parameter          9   status, value as 2 nibble characters
//   'D' 'Q' 'K' volume, dose   13  status, 6 digits with the volume decimals implied
//   'S' 'T' totalizers         15  status, 8 digits
//   'C' price                  11  status, 4 digits with the price decimals implied
//   'Z' temperature            12  status, sign ('+' or '-'), "dd,d"
//   'J' 'U' status             7   status only (their drivers take the status character alone)
// Families 30 and 32 differ: see Family30 in Family.cpp.
// Writes ('x', 'y', 'd', 'c', 's', 'u') are acknowledged with the single byte 'A'.
// Controller behaviour where the drivers leave it open: a dose from idle arms the key (state 1),
// a zero dose disarms; 's' pauses a working dose and is acknowledged without effect elsewhere;
// 'u' continues a paused dose or starts an armed one; a totalizer pair written without the
// unlock just before it is refused with silence; a malformed request gets no answer.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zrnsim {

// Post states the controllers go through (the service's numbering).
enum class State : uint8_t { Idle = 0, WaitingKey = 1, Working = 7, Paused = 80 };

// What a read command answers after the status character.
enum class Quantity : uint8_t {
    Status,    // nothing more
    Param,     // data: parameter as 2 nibble chars; answer: its byte as 2 nibble chars
    ExtParam,  // the same from the extended table
    CurrentV,  // dispensed volume of the current dose
    Dose,      // the dose set with the dose command
    TotalV,    // volume totalizer
    TotalW,    // mass totalizer
    CurrentW,  // dispensed mass of the current dose
    Price,
    Flow,         // volume per second while working, else 0
    Temperature,  // sign character, then digits with a ',' before the decimals
};

// A read command: the answer data is the status character followed by `width` characters.
// Volume and mass quantities use the controller's volume decimals (the family default unless
// a controller overrides it); the others use `decimals`.
struct ReadSpec {
    char command;
    Quantity what;
    uint8_t width;
    int8_t decimals = 0;
    // Volume quantities take `decimals` rather than the controller's (negative: the count in
    // tens, thousands, ...).
    bool own_decimals = false;
    // A ',' stands before the decimals, within the width.
    bool comma = false;
    // The versions that answer this way; the first matching entry of a command applies.
    uint8_t min_version = 0;
    uint8_t max_version = 255;
};

enum class Action : uint8_t {
    WriteParam,     // data: parameter and value, 2 nibble chars each
    WriteExtParam,  // the same into the extended table
    SetDose,        // data: decimal digits with the volume decimals implied
    SetPrice,       // data: decimal digits with the price decimals implied
    Stop,           // working -> paused; other states unchanged
    Continue,       // paused or waiting for the key -> working
};

// A write command; the answer is the bare acknowledgement 'A'. `data_length` 0 takes any
// length the action can parse.
struct WriteSpec {
    char command;
    Action action;
    uint8_t data_length = 0;
    // Versions that carry the write out without answering (the driver takes silence as the
    // acknowledgement).
    std::vector<uint8_t> silent_versions = {};
};

// Status characters by state; `earthed_bit` is ORed in while the earth input is made.
struct StatusCodes {
    uint8_t idle = 0x01;
    uint8_t waiting_key = 0x20;
    uint8_t working = 0x22;
    uint8_t paused = 0x08;
    uint8_t earthed_bit = 0;
};

// Parameter numbers that mean something to the simulator beyond being stored; 0 = none.
// The layout with the highest min_version not above the controller's version applies.
struct ParamLayout {
    uint8_t min_version = 0;
    uint8_t address = 0;            // a write moves the controller to the written address
    uint8_t total_v = 0;            // first of six BCD pairs written (after the unlock) as TotalV
    uint8_t temperature = 0;        // sign-and-BCD whole degrees
    bool fine_temperature = false;  // and the next parameter holds the hundredths in BCD
    uint8_t identity = 0;           // also holds the family (two digits), the next the version
    uint8_t total_millions = 0;     // reads the totalizer's millions as two decimal digits
    // Initial values of this layout's parameters, applied in order (each layout is complete).
    std::vector<std::pair<uint8_t, uint8_t>> defaults;
};

// Decimals that follow the controller's configuration: the first rule whose version range
// holds the controller's version and whose parameter matches (param AND mask = value) gives
// them; parameter 0 matches always. No rule: the table's default.
struct DecimalsRule {
    uint8_t min_version = 0;
    uint8_t max_version = 255;
    uint8_t param = 0;
    uint8_t mask = 0;
    uint8_t value = 0;
    uint8_t decimals = 0;
};

struct FamilyTable {
    std::string name;
    std::vector<uint8_t> families;
    std::vector<ReadSpec> reads;
    std::vector<WriteSpec> writes;
    StatusCodes status;
    uint8_t answer_address_flags = 0;  // ORed into the answer's address byte
    uint8_t volume_decimals = 0;
    uint8_t price_decimals = 2;
    std::vector<DecimalsRule> volume_rules;
    std::vector<DecimalsRule> price_rules;
    // 's' while the key is awaited takes the dose back (idle); otherwise it is acknowledged
    // without effect there.
    bool stop_disarms = false;
    // Write-unlock: an 'x' whose data is exactly this text is acknowledged and opens the
    // next parameter write into the totalizer pairs; it is not stored.
    std::string unlock_data;
    // Decimals of the twelve-digit number the six totalizer pairs form.
    uint8_t total_write_decimals = 4;
    uint8_t pause_reason_param = 0;  // reasons of a pause the controller made itself
    uint8_t inspector_param = 0;     // 16-bit counter of accepted parameter writes, high first
    int64_t flow_per_second = 0;     // ×10000, the default flow rate while working
    // Programs whose answers carry a checksum 0x10 below the sum (a firmware slip the
    // service tolerates with its exchange mode 1).
    std::vector<uint8_t> checksum_low_versions;
    std::vector<ParamLayout> layouts;

    const ReadSpec* FindRead(char command, int version) const;
    const WriteSpec* FindWrite(char command) const;
    const ParamLayout& LayoutFor(int version) const;
    // The decimals the rules give for a controller's version and parameters.
    static int Decimals(const std::vector<DecimalsRule>& rules, int fallback, int version,
                        const uint8_t* params);
    bool ChecksumLow(int version) const;
};

// The table of a family: the built-in or registered one, else the generic table (parameter
// reads and writes only, enough for the probe).
std::shared_ptr<const FamilyTable> FindFamily(int family);
// Adds or replaces the table for each of its families.
void RegisterFamily(FamilyTable table);
// Restores the built-in tables.
void ResetFamilies();

}  // namespace zrnsim
