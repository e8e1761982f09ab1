// An in-process emulator behind the library's emulator slot: a registration per COM number that
// a test fills, replaces and clears, emulators that count their references and record every
// frame, and a small Modbus far end that answers the way devices would.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fieldbus/core/HostApi.h"
#include "platform/time/clock.h"
#include "platform/types/hresult.h"

namespace fbtest {

class FakeEmulator {
  public:
    // The answer to a frame (one code unit a byte); empty: silence.
    std::function<std::u16string(const std::u16string&)> responder;
    std::atomic<int32_t> write_hr{plat::S_OK};
    std::atomic<int32_t> read_hr{plat::S_OK};
    std::atomic<int> refs{0};
    std::atomic<int> purges{0};

    std::vector<std::u16string> Frames() {
        std::lock_guard<std::mutex> lk(m_);
        return frames_;
    }
    // Fake-clock tick of every frame, in order.
    std::vector<uint32_t> Ticks() {
        std::lock_guard<std::mutex> lk(m_);
        return ticks_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lk(m_);
        frames_.clear();
        ticks_.clear();
    }

    int32_t Write(const char16_t* units, uint32_t count) {
        std::u16string frame(units, count);
        std::u16string answer = responder ? responder(frame) : std::u16string{};
        std::lock_guard<std::mutex> lk(m_);
        frames_.push_back(frame);
        ticks_.push_back(plat::GetTickCount());
        pending_ = std::move(answer);
        return write_hr.load();
    }
    int32_t Read(char16_t* units, uint32_t capacity, uint32_t* length) {
        if (plat::Failed(read_hr.load())) return read_hr.load();
        std::lock_guard<std::mutex> lk(m_);
        *length = static_cast<uint32_t>(pending_.size());
        for (size_t i = 0; i < pending_.size() && i < capacity; ++i) units[i] = pending_[i];
        pending_.clear();
        return plat::S_OK;
    }

  private:
    std::mutex m_;
    std::vector<std::u16string> frames_;
    std::vector<uint32_t> ticks_;
    std::u16string pending_;
};

// The service's registration of one COM number, as the library sees it.
class FakeRegistration {
  public:
    FakeRegistration() {
        slot_.context = this;
        slot_.acquire = [](void* c) -> void* {
            auto* self = static_cast<FakeRegistration*>(c);
            std::lock_guard<std::mutex> lk(self->m_);
            if (self->current_ != nullptr) self->current_->refs.fetch_add(1);
            return self->current_;
        };
        slot_.release = [](void* e) { static_cast<FakeEmulator*>(e)->refs.fetch_sub(1); };
        slot_.write_call = [](void* e, const char16_t* u, uint32_t n) {
            return static_cast<FakeEmulator*>(e)->Write(u, n);
        };
        slot_.read_answer = [](void* e, char16_t* u, uint32_t cap, uint32_t* len) {
            return static_cast<FakeEmulator*>(e)->Read(u, cap, len);
        };
        slot_.purge = [](void* e) {
            static_cast<FakeEmulator*>(e)->purges.fetch_add(1);
            return plat::S_OK;
        };
    }
    void Reg(FakeEmulator* e) {
        std::lock_guard<std::mutex> lk(m_);
        current_ = e;
    }
    void Unreg() { Reg(nullptr); }
    const mb::EmulatorSlot* Slot() const { return &slot_; }

  private:
    std::mutex m_;
    FakeEmulator* current_ = nullptr;
    mb::EmulatorSlot slot_{};
};

inline uint16_t EmuCrc(const std::u16string& f, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint8_t>(f[i]);
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}
inline std::u16string EmuWithCrc(std::u16string body) {
    const uint16_t c = EmuCrc(body, body.size());
    body += static_cast<char16_t>(c & 0xFF);
    body += static_cast<char16_t>(c >> 8);
    return body;
}

// Modbus devices on the emulated line: 0x07, 0x11, 0x03 and 0x10, RTU with CRC.
class FakeSlaves {
  public:
    struct Slave {
        uint8_t type_code = 0x30;
        bool silent = false;
        std::vector<uint16_t> regs = std::vector<uint16_t>(64, 0);
    };
    std::u16string Answer(const std::u16string& f) {
        std::lock_guard<std::mutex> lk(m_);
        if (f.size() < 4 || EmuCrc(f, f.size()) != 0) return {};
        auto it = slaves_.find(static_cast<uint8_t>(f[0]));
        if (it == slaves_.end() || it->second.silent) return {};
        Slave& s = it->second;
        const char16_t a = f[0], fn = f[1];
        switch (fn) {
            case 0x07:
                return EmuWithCrc({a, fn, 0});
            case 0x11:
                return EmuWithCrc({a, fn, 4, s.type_code, 0xFF, 0, 1});
            case 0x03: {
                const size_t start = f[2] << 8 | f[3], n = f[4] << 8 | f[5];
                std::u16string r{a, fn, static_cast<char16_t>(2 * n)};
                for (size_t i = 0; i < n; ++i) {
                    const uint16_t v = start + i < s.regs.size() ? s.regs[start + i] : 0;
                    r += static_cast<char16_t>(v >> 8);
                    r += static_cast<char16_t>(v & 0xFF);
                }
                return EmuWithCrc(r);
            }
            case 0x10:
                return EmuWithCrc(f.substr(0, 6));
            default:
                return EmuWithCrc({a, static_cast<char16_t>(fn | 0x80), 1});
        }
    }
    void Set(uint8_t address, Slave s) {
        std::lock_guard<std::mutex> lk(m_);
        slaves_[address] = std::move(s);
    }
    void Silence(uint8_t address, bool on) {
        std::lock_guard<std::mutex> lk(m_);
        slaves_[address].silent = on;
    }
    void Remove(uint8_t address) {
        std::lock_guard<std::mutex> lk(m_);
        slaves_.erase(address);
    }
    // Serves `e` from these slaves.
    void Serve(FakeEmulator& e) {
        e.responder = [this](const std::u16string& f) { return Answer(f); };
    }

  private:
    std::mutex m_;
    std::map<uint8_t, Slave> slaves_;
};

}  // namespace fbtest
