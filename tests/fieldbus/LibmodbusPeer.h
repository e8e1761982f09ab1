// An independent Modbus RTU server (libmodbus) on the far end of a pseudo-terminal. libmodbus
// opens ttys by path, and the far end of a pty has none, so the context gets the pty's master
// descriptor and serves it from a thread with modbus_receive/modbus_reply. Read Exception Status
// (0x07) and Report Slave ID (0x11), which modbus_reply does not serve as a device would, are
// answered through modbus_send_raw_request with the peer's status byte and slave id.
//
// A request for another address: libmodbus reads it whole, answers nothing and then takes the
// next frame on the line for that other slave's reply, which it drops unread. A shared line
// here has no other slave, so the next frame is the master's next request; the peer starts a
// fresh context instead, which waits for a request again.
#pragma once
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace fbtest {

class LibmodbusPeer {
  public:
    LibmodbusPeer(int fd, int slave, int registers = 64) : fd_(fd), slave_(slave) {
        ctx_ = NewContext();
        map_ = modbus_mapping_new(0, 0, registers, 0);
        if (map_ == nullptr) throw std::runtime_error("modbus_mapping_new failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~LibmodbusPeer() {
        stop_ = true;
        thread_.join();
        FreeContext(ctx_);
        modbus_mapping_free(map_);
    }
    LibmodbusPeer(const LibmodbusPeer&) = delete;
    LibmodbusPeer& operator=(const LibmodbusPeer&) = delete;

    uint16_t Register(int i) {
        std::lock_guard<std::mutex> lk(m_);
        return map_->tab_registers[i];
    }
    void SetRegister(int i, uint16_t v) {
        std::lock_guard<std::mutex> lk(m_);
        map_->tab_registers[i] = v;
    }
    // From then on the 0x11 answer (libmodbus's own before): slave id (the type code), run
    // indicator 0xFF, then `extra` bytes.
    void SetSlaveId(uint8_t id, std::vector<uint8_t> extra = {0x00, 0x01}) {
        std::lock_guard<std::mutex> lk(m_);
        slave_id_ = id;
        id_extra_ = std::move(extra);
        raw_id_ = true;
    }
    void SetStatus(uint8_t status) {
        std::lock_guard<std::mutex> lk(m_);
        status_ = status;
    }
    int Served() const { return served_.load(); }    // requests answered
    int Ignored() const { return ignored_.load(); }  // requests for another address

  private:
    modbus_t* NewContext() {
        modbus_t* ctx = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
        if (ctx == nullptr) throw std::runtime_error("modbus_new_rtu failed");
        modbus_set_slave(ctx, slave_);
        modbus_set_socket(ctx, fd_);
        return ctx;
    }
    static void FreeContext(modbus_t* ctx) {
        modbus_set_socket(ctx, -1);  // the descriptor belongs to the pty pair
        modbus_free(ctx);
    }
    // Drops what has arrived so far. modbus_flush would be tcflush(TCIOFLUSH), which on a pty
    // master also throws away the answer the master has not read yet.
    void Drain() {
        uint8_t junk[256];
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && ::read(fd_, junk, sizeof junk) > 0) {
        }
    }

    void Run() {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
            int rc = modbus_receive(ctx_, query);
            if (rc > 0) {
                std::lock_guard<std::mutex> lk(m_);
                const int h = modbus_get_header_length(ctx_);
                const uint8_t function = query[h];
                if (function == 0x07) {
                    const uint8_t raw[] = {query[h - 1], 0x07, status_};
                    modbus_send_raw_request(ctx_, raw, sizeof raw);
                } else if (function == 0x11 && raw_id_) {
                    std::vector<uint8_t> raw{query[h - 1], 0x11,
                                             static_cast<uint8_t>(2 + id_extra_.size()), slave_id_,
                                             0xFF};
                    raw.insert(raw.end(), id_extra_.begin(), id_extra_.end());
                    modbus_send_raw_request(ctx_, raw.data(), static_cast<int>(raw.size()));
                } else {
                    modbus_reply(ctx_, query, rc, map_);
                }
                ++served_;
            } else if (rc == 0) {
                // Read whole and ignored; the next frame must be taken as a request again.
                FreeContext(ctx_);
                ctx_ = NewContext();
                ++ignored_;
            } else {
                Drain();  // a broken or partial frame: start again at the next one
            }
        }
    }

    int fd_;
    int slave_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
    std::mutex m_;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::atomic<int> ignored_{0};
    bool raw_id_ = false;
    uint8_t slave_id_ = 0x30;
    uint8_t status_ = 0;
    std::vector<uint8_t> id_extra_{0x00, 0x01};
    std::thread thread_;
};

}  // namespace fbtest
