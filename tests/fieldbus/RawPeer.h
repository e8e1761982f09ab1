// A libmodbus RTU server on the far end of a pseudo-terminal that also answers what libmodbus
// does not serve (Read Exception Status, a device's own Report Slave ID), keeps every request
// it saw, and can stay silent for chosen registers to play a failing line.
#pragma once
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/fieldbus/FieldbusKit.h"

namespace fbtest {

struct SeenRequest {
    int function = 0;
    int start = 0;
    int count = 0;
    std::vector<uint16_t> words;  // what a 0x10 wrote
};

class RawPeer {
  public:
    RawPeer(int fd, int slave, int registers = 0x1000) : fd_(fd), slave_(slave) {
        ctx_ = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
        if (ctx_ == nullptr) throw std::runtime_error("modbus_new_rtu failed");
        modbus_set_slave(ctx_, slave);
        modbus_set_socket(ctx_, fd);
        map_ = modbus_mapping_new(0, 0, registers, 0);
        if (map_ == nullptr) throw std::runtime_error("modbus_mapping_new failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~RawPeer() {
        stop_ = true;
        thread_.join();
        modbus_set_socket(ctx_, -1);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    uint16_t Register(int i) {
        std::lock_guard<std::mutex> lk(m_);
        return map_->tab_registers[i];
    }
    void SetRegister(int i, uint16_t v) {
        std::lock_guard<std::mutex> lk(m_);
        map_->tab_registers[i] = v;
    }
    void SetRegisters(int from, std::initializer_list<uint16_t> words) {
        for (uint16_t w : words) SetRegister(from++, w);
    }
    // The status byte of Read Exception Status; < 0 leaves it unanswered.
    void SetStatus(int status) {
        std::lock_guard<std::mutex> lk(m_);
        status_ = status;
    }
    // Report Slave ID data bytes (slave id, run indicator, ...).
    void SetSlaveId(std::string bytes) {
        std::lock_guard<std::mutex> lk(m_);
        slave_id_ = std::move(bytes);
    }
    // Reads and writes starting at this register go unanswered.
    void Silence(int start, bool on = true) {
        std::lock_guard<std::mutex> lk(m_);
        if (on)
            silent_.insert(start);
        else
            silent_.erase(start);
    }
    std::vector<SeenRequest> Seen() {
        std::lock_guard<std::mutex> lk(m_);
        return seen_;
    }
    void ClearSeen() {
        std::lock_guard<std::mutex> lk(m_);
        seen_.clear();
    }
    size_t CountSeen(int function, int start = -1) {
        size_t n = 0;
        for (const auto& r : Seen()) n += r.function == function && (start < 0 || r.start == start);
        return n;
    }

  private:
    void Answer(const std::string& body) {
        const std::string frame = WithCrc(body);
        size_t off = 0;
        while (off < frame.size()) {
            ssize_t n = ::write(fd_, frame.data() + off, frame.size() - off);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
    void Run() {
        uint8_t q[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
            int rc = modbus_receive(ctx_, q);
            if (rc <= 0) {
                modbus_flush(ctx_);
                continue;
            }
            std::lock_guard<std::mutex> lk(m_);
            SeenRequest r;
            r.function = q[1];
            if (rc >= 6) {
                r.start = q[2] << 8 | q[3];
                r.count = q[4] << 8 | q[5];
            }
            if (r.function == 0x10)
                for (int i = 0; i < r.count && 7 + 2 * i + 1 < rc; ++i)
                    r.words.push_back(static_cast<uint16_t>(q[7 + 2 * i] << 8 | q[8 + 2 * i]));
            seen_.push_back(r);
            const char addr = static_cast<char>(slave_);
            if (r.function == 0x07) {
                if (status_ >= 0) Answer(std::string{addr, 0x07, static_cast<char>(status_)});
            } else if (r.function == 0x11) {
                Answer(std::string{addr, 0x11, static_cast<char>(slave_id_.size())} + slave_id_);
            } else if ((r.function == 0x03 || r.function == 0x10) && silent_.count(r.start) != 0) {
                // nothing: the line is dead for this block
            } else {
                modbus_reply(ctx_, q, rc, map_);
            }
        }
    }

    int fd_;
    int slave_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
    std::mutex m_;
    int status_ = 0;
    std::string slave_id_;
    std::set<int> silent_;
    std::vector<SeenRequest> seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace fbtest
