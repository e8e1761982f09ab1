// Field-bus simulator: Modbus RTU slaves held as data. A slave is a register map, a bank of
// bytes, a status byte and a Report Slave ID answer, plus hooks of its model; modules behind a
// gateway slave (function 0x42) are slaves of their own. The engine answers frames without CRC;
// the server puts it on a line.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fbsim {

struct Slave {
    uint8_t address = 0;
    std::map<uint16_t, uint16_t> regs;  // absent registers answer exception 2
    std::map<uint16_t, uint8_t> bank;   // 0x43 bytes; absent read as 0
    uint8_t status = 0;                 // 0x07
    std::vector<uint8_t> slave_id;      // 0x11 data: slave id, run indicator, the rest
    // Registers that answer with a device exception (e.g. 0x48), by register.
    std::map<uint16_t, uint8_t> refuse;
    // Answers of 0x07 that report busy (exception 6) before the status is given.
    int busy_status = 0;
    // While set the slave answers nothing, as with its line cut.
    bool unplugged = false;
    // Model hooks: a register written (after it is stored), and one step of simulated time.
    std::function<void(Slave&, uint16_t reg, uint16_t value)> on_write;
    std::function<void(Slave&)> on_step;
    // Modules reached through this slave as gateway (function 0x42).
    std::map<uint8_t, std::shared_ptr<Slave>> modules;

    uint16_t Get(uint16_t reg) const {
        auto it = regs.find(reg);
        return it == regs.end() ? 0 : it->second;
    }
};

// Faults injected into the next requests.
struct Faults {
    int silent = 0;       // requests left unanswered
    int corrupt_crc = 0;  // answers sent with a broken CRC (the server applies it)
};

class Engine {
  public:
    std::shared_ptr<Slave> Add(Slave slave);
    std::shared_ptr<Slave> Find(uint8_t address);
    // The answer to one request frame (address first, no CRC); empty: no answer.
    std::string Handle(const std::string& request);
    // Advances every slave's model by one step.
    void Step();
    // Request log: hex of every request frame handled, newest last.
    std::vector<std::string> Requests();
    void ClearRequests();
    void Inject(const Faults& f);
    // Takes one pending corrupt-CRC fault; true when the next answer is to be spoilt.
    bool TakeCorrupt();
    // Runs `f` under the engine's lock, for tests that change a slave's data.
    void With(const std::function<void()>& f);

  private:
    std::string Answer(Slave& s, const uint8_t* pdu, size_t n);
    std::mutex m_;
    std::map<uint8_t, std::shared_ptr<Slave>> slaves_;
    std::vector<std::string> log_;
    Faults faults_;
};

// --- models as data ---

struct PostSetup {
    uint16_t number = 1;
    uint32_t identity = 0xF3A0;            // feature bits
    uint16_t option = 31;                  // option flags
    std::string total_v = "000000001000";  // 12 characters
    uint16_t state_flags = 0x1000;
    uint8_t dose_micro = 0x05;  // BCD in the low byte of offset 9
    uint8_t decimal_point = 0;
};

struct UnitSetup {
    uint8_t address = 1;
    uint16_t version = 5;
    uint16_t build = 63;
    int16_t option = -1;  // -1: none in the identification (the unit answers register 18)
    bool module_mode = false;
    int side1 = 1, side2 = 0;
    std::vector<PostSetup> posts;            // channel 1, 2, ...
    uint8_t active_status = 0x21;            // 0x07: the two active channels as nibbles
    uint16_t out_plates = 0, in_plates = 0;  // module mode plate masks
    uint16_t inspector_hi = 0, inspector_lo = 1;
};

// A control unit with posts (or plates in module mode). Its model: a write of 16 to a post's
// raw state waits for the key (PressKey), the key starts a delivery (raw 32) that counts
// CurrentV up by 1 a step to the dose and ends in raw 0 with TotalV grown.
std::shared_ptr<Slave> AddUnit(Engine& engine, const UnitSetup& setup);
void PressKey(Engine& engine, uint8_t unit, int channel);
// An output plate (4 outputs) or an input plate (6 inputs) behind the unit.
std::shared_ptr<Slave> AddPlate(Engine& engine, uint8_t unit, uint8_t module, bool output);

// --- flow sensor, grounding monitor, scan terminal ---

// A post's pulse flow sensor (Report Slave ID type 0x30). Volumes and rates are in millionths;
// the temperature is a float, low half in register 9. A write of 0 to register 22 clears the
// state word; a write to register 46 moves the sensor to that address.
struct FlowSensorSetup {
    uint8_t address = 1;
    uint16_t word1 = 0x01, word2 = 0x0203;  // identification words after type and run byte
    uint16_t state = 1;
    uint16_t exception = 0;
    int64_t current_v = 0;  // millionths of a litre
    int32_t rate = 0;       // millionths of a litre a second
    uint16_t frequency = 0;
    float temperature = 20.0f;
    int64_t total_v = 0;
    int32_t inspector = 0;
    int64_t id = 0;
};
std::shared_ptr<Slave> AddFlowSensor(Engine& engine, const FlowSensorSetup& setup);
// Sets a flow sensor's counters as a test would see them move.
void SetFlow(Engine& engine, uint8_t address, int64_t current_v, int64_t total_v);

// A grounding monitor (type 0x85): state at 0, capacitance at 1-2, minimum and maximum at 3-4
// and 5-6, each float low word first.
struct GroundingSetup {
    uint8_t address = 1;
    uint16_t state = 0;
    float capacity = 0.0f, min_capacity = 0.0f, max_capacity = 0.0f;
};
std::shared_ptr<Slave> AddGroundingMonitor(Engine& engine, const GroundingSetup& setup);
void SetGrounding(Engine& engine, uint8_t address, uint16_t state, float capacity);

// A scan terminal (type 8 KX310, 9 KX310Ex). Its status byte (0x07) mirrors the high byte of
// the control register 255: a write there sets it. Registers: display memory 0-43, brightness
// 44, cursor 45, outputs 254, key buffer header 256 and text 257-384, inputs 264, card data
// 0x300-0xE7F (every key type), memo lines 0xF00-0x18FF.
struct TerminalSetup {
    uint8_t address = 1;
    uint16_t type = 9;
    uint16_t word1 = 1, word2 = 0;
    uint8_t status = 0;
    uint8_t inputs = 0, outputs = 0;
    uint16_t brightness = 2, cursor = 0;
};
std::shared_ptr<Slave> AddTerminal(Engine& engine, const TerminalSetup& setup);
// A key pressed: `key` in the control word's low byte, key waiting set; the key buffer `buffer`
// (0-9) holds `text`.
void TerminalKey(Engine& engine, uint8_t address, char key, uint8_t buffer,
                 const std::string& text);
// Card data at `reg` (0x300 the card id, 0x318 + 24 x i field i + 1, plus the key type's
// offset): a length byte then the text.
void SetCardData(Engine& engine, uint8_t address, uint16_t reg, const std::string& text);
// The terminal restarted: bit 7 of the status byte (bit 15 of register 255).
void TerminalRestart(Engine& engine, uint8_t address);

// The text as registers, two characters a register, high byte first, zero-padded.
std::vector<uint16_t> TextRegisters(const std::string& text, size_t chars);
std::string RegistersText(const std::vector<uint16_t>& words);

}  // namespace fbsim
