#include "tools/fbsim/Sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fbsim {

namespace {

std::string Hex(const std::string& s) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::string Exception(uint8_t address, uint8_t function, uint8_t code) {
    return std::string{static_cast<char>(address), static_cast<char>(function | 0x80),
                       static_cast<char>(code)};
}

void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v >> 8);
    s += static_cast<char>(v & 0xFF);
}

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

std::vector<uint16_t> TextRegisters(const std::string& text, size_t chars) {
    std::vector<uint16_t> w((chars + 1) / 2, 0);
    for (size_t i = 0; i < chars && i < text.size(); ++i)
        w[i / 2] |= static_cast<uint16_t>(static_cast<uint8_t>(text[i]) << (i % 2 == 0 ? 8 : 0));
    return w;
}

std::string RegistersText(const std::vector<uint16_t>& words) {
    std::string out;
    for (uint16_t w : words)
        for (uint8_t b : {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)})
            if (b != 0) out += static_cast<char>(b);
    return out;
}

std::shared_ptr<Slave> Engine::Add(Slave slave) {
    auto s = std::make_shared<Slave>(std::move(slave));
    std::lock_guard lk(m_);
    slaves_[s->address] = s;
    return s;
}

std::shared_ptr<Slave> Engine::Find(uint8_t address) {
    std::lock_guard lk(m_);
    auto it = slaves_.find(address);
    return it == slaves_.end() ? nullptr : it->second;
}

void Engine::Step() {
    std::lock_guard lk(m_);
    for (auto& [a, s] : slaves_)
        if (s->on_step) s->on_step(*s);
}

std::vector<std::string> Engine::Requests() {
    std::lock_guard lk(m_);
    return log_;
}

void Engine::ClearRequests() {
    std::lock_guard lk(m_);
    log_.clear();
}

void Engine::Inject(const Faults& f) {
    std::lock_guard lk(m_);
    faults_ = f;
}

bool Engine::TakeCorrupt() {
    std::lock_guard lk(m_);
    if (faults_.corrupt_crc <= 0) return false;
    --faults_.corrupt_crc;
    return true;
}

void Engine::With(const std::function<void()>& f) {
    std::lock_guard lk(m_);
    f();
}

std::string Engine::Handle(const std::string& request) {
    std::lock_guard lk(m_);
    if (log_.size() >= 10000) log_.erase(log_.begin(), log_.begin() + 5000);
    log_.push_back(Hex(request));
    if (request.size() < 2) return {};
    if (faults_.silent > 0) {
        --faults_.silent;
        return {};
    }
    auto it = slaves_.find(static_cast<uint8_t>(request[0]));
    if (it == slaves_.end()) return {};
    auto slave = it->second;
    if (slave->unplugged) return {};
    std::string answer =
        Answer(*slave, reinterpret_cast<const uint8_t*>(request.data()), request.size());
    if (slave->address != it->first) {
        // The slave took another address (its model wrote it): it answers there from now on.
        slaves_.erase(it);
        slaves_[slave->address] = slave;
    }
    return answer;
}

std::string Engine::Answer(Slave& s, const uint8_t* p, size_t n) {
    const uint8_t a = p[0], f = p[1];
    std::string out{static_cast<char>(a), static_cast<char>(f)};
    switch (f) {
        case 0x03: {
            if (n < 6) return Exception(a, f, 3);
            const uint16_t start = Get16(p + 2), count = Get16(p + 4);
            if (count == 0 || count > 125) return Exception(a, f, 3);
            for (uint16_t r = start; r < start + count; ++r) {
                if (auto x = s.refuse.find(r); x != s.refuse.end())
                    return Exception(a, f, x->second);
                if (!s.regs.count(r)) return Exception(a, f, 2);
            }
            out += static_cast<char>(2 * count);
            for (uint16_t r = start; r < start + count; ++r) Put16(out, s.regs[r]);
            return out;
        }
        case 0x10: {
            if (n < 7) return Exception(a, f, 3);
            const uint16_t start = Get16(p + 2), count = Get16(p + 4);
            if (n < 7u + p[6] || p[6] != 2 * count) return Exception(a, f, 3);
            for (uint16_t r = start; r < start + count; ++r) {
                if (auto x = s.refuse.find(r); x != s.refuse.end())
                    return Exception(a, f, x->second);
                if (!s.regs.count(r)) return Exception(a, f, 2);
            }
            for (uint16_t i = 0; i < count; ++i) {
                const uint16_t r = static_cast<uint16_t>(start + i), v = Get16(p + 7 + 2 * i);
                s.regs[r] = v;
                if (s.on_write) s.on_write(s, r, v);
            }
            Put16(out, start);
            Put16(out, count);
            return out;
        }
        case 0x07:
            if (s.busy_status > 0) {
                --s.busy_status;
                return Exception(a, f, 6);
            }
            out += static_cast<char>(s.status);
            return out;
        case 0x11:
            out += static_cast<char>(s.slave_id.size());
            out.append(s.slave_id.begin(), s.slave_id.end());
            return out;
        case 0x43: {
            if (n < 6) return Exception(a, f, 3);
            const uint16_t start = Get16(p + 2), count = Get16(p + 4);
            if ((start & 0xFF) + count > 256) return Exception(a, f, 3);
            out += static_cast<char>(count);
            for (uint16_t i = 0; i < count; ++i) {
                auto it = s.bank.find(static_cast<uint16_t>(start + i));
                out += static_cast<char>(it == s.bank.end() ? 0 : it->second);
            }
            return out;
        }
        case 0x42: {
            if (n < 4) return Exception(a, f, 3);
            auto m = s.modules.find(p[2]);
            if (m == s.modules.end()) return {};  // nobody there: the gateway stays silent
            std::string inner = Answer(*m->second, p + 2, n - 2);
            if (inner.empty()) return {};
            return out + inner;
        }
        default:
            return Exception(a, f, 1);
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

void SetText(Slave& s, uint16_t reg, const std::string& text, size_t chars) {
    auto w = TextRegisters(text, chars);
    for (size_t i = 0; i < w.size(); ++i) s.regs[static_cast<uint16_t>(reg + i)] = w[i];
}

std::string Digits(long long v, size_t chars) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", static_cast<int>(chars), v);
    return buf;
}

long long TextValue(const Slave& s, uint16_t reg, size_t chars) {
    std::vector<uint16_t> w;
    for (size_t i = 0; i < (chars + 1) / 2; ++i) w.push_back(s.Get(static_cast<uint16_t>(reg + i)));
    return std::atoll(RegistersText(w).c_str());
}

}  // namespace

std::shared_ptr<Slave> AddUnit(Engine& engine, const UnitSetup& setup) {
    Slave u;
    u.address = setup.address;
    u.slave_id = {0x20,
                  0xFF,
                  static_cast<uint8_t>(setup.version >> 8),
                  static_cast<uint8_t>(setup.version),
                  static_cast<uint8_t>(setup.build >> 8),
                  static_cast<uint8_t>(setup.build)};
    if (setup.option != -1) {
        u.slave_id.push_back(static_cast<uint8_t>(static_cast<uint16_t>(setup.option) >> 8));
        u.slave_id.push_back(static_cast<uint8_t>(setup.option));
    }
    u.status = setup.active_status;
    for (uint16_t r = 0; r < 64; ++r) u.regs[r] = 0;
    u.regs[0] = setup.address;
    u.regs[1] = static_cast<uint16_t>(setup.side1);
    u.regs[2] = static_cast<uint16_t>(setup.side2);
    u.regs[3] = 10;             // AirValveTime
    u.regs[4] = 20;             // USSTimeout
    u.regs[5] = 30;             // SensorWaitTime
    SetText(u, 10, "1.50", 4);  // FullUp
    SetText(u, 12, "0.25", 4);  // FullDown
    u.regs[18] = setup.module_mode ? 0x8000 : 0;
    u.regs[20] = setup.inspector_hi;
    u.regs[21] = setup.inspector_lo;
    SetText(u, 22, "QMU-SIM-0001", 16);
    u.regs[32] = setup.out_plates;
    u.regs[33] = setup.in_plates;
    u.regs[34] = 0;
    u.regs[45] = 0x41C8;  // InnerTemperature 25.0 as R4, high word
    u.regs[46] = 0;
    for (size_t k = 0; k < setup.posts.size(); ++k) {
        const PostSetup& p = setup.posts[k];
        const uint16_t b = static_cast<uint16_t>((k + 1) * 256);
        for (uint16_t o = 0; o < 256; ++o) u.regs[static_cast<uint16_t>(b + o)] = 0;
        u.regs[b + 0] = static_cast<uint16_t>(k < static_cast<size_t>(setup.side1) ? 1 : 2);
        u.regs[b + 1] = p.number;
        u.regs[b + 9] = p.dose_micro;
        u.regs[b + 12] = 0;  // SnapSensor
        u.regs[b + 13] = 1;  // StatePowerPlat
        u.regs[b + 14] = p.state_flags;
        u.regs[b + 15] = 0;  // raw state
        SetText(u, b + 16, p.total_v, 12);
        SetText(u, b + 22, "00000000", 8);
        SetText(u, b + 26, "000000", 6);
        SetText(u, b + 29, "000000000000", 12);
        SetText(u, b + 35, "00000000", 8);
        SetText(u, b + 42, "000000", 6);
        SetText(u, b + 46, "00000010", 8);  // DozeV
        SetText(u, b + 50, "00000000", 8);
        u.regs[b + 77] = p.option;
        u.regs[b + 78] = static_cast<uint16_t>(p.identity >> 16);
        u.regs[b + 79] = static_cast<uint16_t>(p.identity);
        SetText(u, b + 81, "1.00", 4);
        SetText(u, b + 83, "0.50", 4);
        u.regs[b + 85] = 11;
        u.regs[b + 86] = 21;
        u.regs[b + 87] = 31;
        u.bank[static_cast<uint16_t>(b + 125)] = static_cast<uint8_t>(p.number >> 8);
        u.bank[static_cast<uint16_t>(b + 126)] = static_cast<uint8_t>(p.number);
        u.bank[static_cast<uint16_t>(b + 127)] = p.decimal_point;
    }
    const int posts = static_cast<int>(setup.posts.size());
    // A delivery: raw 32 counts CurrentV up to the dose, then raw 0 and TotalV grown.
    u.on_step = [posts](Slave& s) {
        for (int ch = 1; ch <= posts; ++ch) {
            const uint16_t b = static_cast<uint16_t>(ch * 256);
            if ((s.Get(b + 15) & 0xF0) != 32) continue;
            const long long dose = TextValue(s, b + 46, 8);
            const long long now = TextValue(s, b + 22, 8) + 1;
            SetText(s, b + 22, Digits(now, 8), 8);
            if (now >= dose) {
                SetText(s, b + 16, Digits(TextValue(s, b + 16, 12) + now, 12), 12);
                s.regs[b + 15] = 0;
            }
        }
    };
    u.on_write = [](Slave& s, uint16_t reg, uint16_t value) {
        if (reg == 0) s.address = static_cast<uint8_t>(value);
        if ((reg & 0xFF) == 15 && (value & 0xF0) == 16)
            SetText(s, static_cast<uint16_t>((reg & 0xFF00) + 22), "00000000", 8);
    };
    return engine.Add(std::move(u));
}

void PressKey(Engine& engine, uint8_t unit, int channel) {
    auto s = engine.Find(unit);
    if (!s) return;
    engine.With([&] {
        const uint16_t r = static_cast<uint16_t>(channel * 256 + 15);
        if ((s->Get(r) & 0xF0) == 16) s->regs[r] = 32;
    });
}

std::shared_ptr<Slave> AddPlate(Engine& engine, uint8_t unit, uint8_t module, bool output) {
    auto gateway = engine.Find(unit);
    if (!gateway) return nullptr;
    auto plate = std::make_shared<Slave>();
    plate->address = module;
    plate->regs[0] = 0;
    if (output) {
        for (uint16_t r = 1; r <= 4; ++r) plate->regs[r] = 0;
        // The switches show in the high byte of register 0; writing 0 to it clears overloads.
        plate->on_write = [](Slave& s, uint16_t reg, uint16_t value) {
            if (reg == 0) {
                uint16_t states = 0;
                for (uint16_t r = 1; r <= 4; ++r)
                    if (s.Get(r) != 0) states = static_cast<uint16_t>(states | 1u << (8 + r - 1));
                s.regs[0] = states;
            }
            if (reg >= 1 && reg <= 4) {
                const uint16_t bit = static_cast<uint16_t>(1u << (8 + reg - 1));
                s.regs[0] =
                    static_cast<uint16_t>(value != 0 ? (s.regs[0] | bit) : (s.regs[0] & ~bit));
            }
        };
    } else {
        plate->regs[1] = 0;
    }
    engine.With([&] { gateway->modules[module] = plate; });
    return plate;
}

// ---------------------------------------------------------------------------------------------
// Flow sensor, grounding monitor, scan terminal

namespace {

void Put64(Slave& s, uint16_t reg, int64_t v) {
    const auto u = static_cast<uint64_t>(v);
    for (uint16_t i = 0; i < 4; ++i)
        s.regs[static_cast<uint16_t>(reg + i)] = static_cast<uint16_t>(u >> (48 - 16 * i));
}

void Put32(Slave& s, uint16_t reg, uint32_t v) {
    s.regs[reg] = static_cast<uint16_t>(v >> 16);
    s.regs[static_cast<uint16_t>(reg + 1)] = static_cast<uint16_t>(v);
}

// A float as a register pair, low word first.
void PutFloatLowFirst(Slave& s, uint16_t reg, float f) {
    uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    s.regs[reg] = static_cast<uint16_t>(u);
    s.regs[static_cast<uint16_t>(reg + 1)] = static_cast<uint16_t>(u >> 16);
}

std::vector<uint8_t> SlaveId(uint8_t type, uint16_t word1, uint16_t word2) {
    return {type,
            0xFF,
            static_cast<uint8_t>(word1 >> 8),
            static_cast<uint8_t>(word1),
            static_cast<uint8_t>(word2 >> 8),
            static_cast<uint8_t>(word2)};
}

// Runs `f` on the slave at `address` under the engine's lock.
void OnSlave(Engine& engine, uint8_t address, const std::function<void(Slave&)>& f) {
    auto s = engine.Find(address);
    if (s) engine.With([&] { f(*s); });
}

}  // namespace

std::shared_ptr<Slave> AddFlowSensor(Engine& engine, const FlowSensorSetup& setup) {
    Slave f;
    f.address = setup.address;
    f.slave_id = SlaveId(0x30, setup.word1, setup.word2);
    f.status = 0;
    for (uint16_t r = 0; r <= 24; ++r) f.regs[r] = 0;
    f.regs[0] = setup.state;
    f.regs[1] = setup.exception;
    Put64(f, 2, setup.current_v);
    Put32(f, 6, static_cast<uint32_t>(setup.rate));
    f.regs[8] = setup.frequency;
    PutFloatLowFirst(f, 9, setup.temperature);
    Put64(f, 18, setup.total_v);
    f.regs[46] = setup.address;
    Put32(f, 261, static_cast<uint32_t>(setup.inspector));
    Put64(f, 265, setup.id);
    f.on_write = [](Slave& s, uint16_t reg, uint16_t value) {
        if (reg == 22 && value == 0) s.regs[0] = 0;
        if (reg == 46 && value >= 1 && value <= 247) s.address = static_cast<uint8_t>(value);
    };
    return engine.Add(std::move(f));
}

void SetFlow(Engine& engine, uint8_t address, int64_t current_v, int64_t total_v) {
    OnSlave(engine, address, [&](Slave& s) {
        Put64(s, 2, current_v);
        Put64(s, 18, total_v);
    });
}

std::shared_ptr<Slave> AddGroundingMonitor(Engine& engine, const GroundingSetup& setup) {
    Slave g;
    g.address = setup.address;
    g.slave_id = SlaveId(0x85, 1, 0);
    g.regs[0] = setup.state;
    PutFloatLowFirst(g, 1, setup.capacity);
    PutFloatLowFirst(g, 3, setup.min_capacity);
    PutFloatLowFirst(g, 5, setup.max_capacity);
    return engine.Add(std::move(g));
}

void SetGrounding(Engine& engine, uint8_t address, uint16_t state, float capacity) {
    OnSlave(engine, address, [&](Slave& s) {
        s.regs[0] = state;
        PutFloatLowFirst(s, 1, capacity);
    });
}

std::shared_ptr<Slave> AddTerminal(Engine& engine, const TerminalSetup& setup) {
    Slave t;
    t.address = setup.address;
    t.slave_id = SlaveId(static_cast<uint8_t>(setup.type), setup.word1, setup.word2);
    t.status = setup.status;
    for (uint16_t r = 0; r <= 45; ++r) t.regs[r] = 0;
    t.regs[44] = setup.brightness;
    t.regs[45] = setup.cursor;
    for (uint16_t r = 254; r <= 384; ++r) t.regs[r] = 0;
    t.regs[254] = setup.outputs;
    t.regs[255] = static_cast<uint16_t>(setup.status << 8);
    t.regs[264] = setup.inputs;
    for (uint16_t r = 0x300; r < 0xE80; ++r) t.regs[r] = 0;
    for (uint16_t r = 0xF00; r < 0x1900; ++r) t.regs[r] = 0;
    t.on_write = [](Slave& s, uint16_t reg, uint16_t value) {
        if (reg == 255) s.status = static_cast<uint8_t>(value >> 8);
    };
    return engine.Add(std::move(t));
}

void TerminalKey(Engine& engine, uint8_t address, char key, uint8_t buffer,
                 const std::string& text) {
    OnSlave(engine, address, [&](Slave& s) {
        s.status = static_cast<uint8_t>(s.status | 0x02);
        s.regs[255] = static_cast<uint16_t>(s.status << 8 | static_cast<uint8_t>(key));
        const size_t n = std::min<size_t>(text.size(), 255);
        s.regs[256] = static_cast<uint16_t>(buffer << 8 | n);
        const auto w = TextRegisters(text, 256);
        for (size_t i = 0; i < w.size(); ++i) s.regs[static_cast<uint16_t>(257 + i)] = w[i];
    });
}

void SetCardData(Engine& engine, uint8_t address, uint16_t reg, const std::string& text) {
    std::string bytes(1, static_cast<char>(std::min<size_t>(text.size(), 255)));
    bytes += text;
    const auto w = TextRegisters(bytes, 48);
    OnSlave(engine, address, [&](Slave& s) {
        for (size_t i = 0; i < w.size(); ++i) s.regs[static_cast<uint16_t>(reg + i)] = w[i];
    });
}

void TerminalRestart(Engine& engine, uint8_t address) {
    OnSlave(engine, address, [&](Slave& s) {
        s.status = static_cast<uint8_t>(s.status | 0x80);
        s.regs[255] = static_cast<uint16_t>(s.regs[255] | 0x8000);
    });
}

}  // namespace fbsim
