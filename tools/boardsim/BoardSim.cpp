#include "tools/boardsim/BoardSim.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace boardsim {

uint16_t RefCrc16Arc(const std::string& bytes) {
    uint16_t crc = 0;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

uint8_t RefCrc8Maxim(const std::string& bytes) {
    uint8_t crc = 0;
    for (unsigned char b : bytes) {
        for (int i = 0; i < 8; ++i) {
            const bool mix = ((crc ^ (b >> i)) & 1) != 0;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
        }
    }
    return crc;
}

std::string RefFrame(const std::string& header_and_data) {
    const uint16_t crc = RefCrc16Arc(header_and_data);
    std::string plain = header_and_data;
    plain += static_cast<char>(crc & 0xFF);
    plain += static_cast<char>(crc >> 8);
    std::string out = "~";
    for (unsigned char b : plain) {
        if (b == 0x7C || b == 0x7D || b == 0x7E) {
            out += '\x7D';
            out += static_cast<char>(b ^ 0x20);
        } else {
            out += static_cast<char>(b);
        }
    }
    return out + "|";
}

// --- PeerThread ------------------------------------------------------------------------------

PeerThread::PeerThread(int fd, int gap_ms) : fd_(fd), gap_ms_(gap_ms) {}

PeerThread::~PeerThread() {
    Stop();
}

void PeerThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void PeerThread::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void PeerThread::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
}

void PeerThread::Run() {
    bool pending_quiet = false;
    char buf[4096];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, pending_quiet ? gap_ms_ : 10);
        if (r > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                OnBytes(std::string(buf, static_cast<size_t>(n)));
                pending_quiet = true;
                continue;
            }
        }
        if (r == 0 && pending_quiet) {
            pending_quiet = false;
            OnQuiet();
        }
        if (r > 0 && !(p.revents & POLLIN)) ::usleep(5000);  // hang-up: nobody on the port
    }
}

// --- BoardBus --------------------------------------------------------------------------------

BoardBus::BoardBus(int fd) : PeerThread(fd, 20) {
    Start();
}

BoardBus::~BoardBus() {
    Stop();
}

void BoardBus::AddBoard(uint8_t address) {
    std::lock_guard lk(m_);
    boards_[address];
}

void BoardBus::SetScript(uint8_t address, const BoardScript& script) {
    std::lock_guard lk(m_);
    if (address == 0)
        unframed_script_ = script;
    else
        boards_[address] = script;
}

std::vector<BoardFrame> BoardBus::Frames() {
    std::lock_guard lk(m_);
    return frames_;
}

std::string BoardBus::Text(uint8_t address) {
    std::lock_guard lk(m_);
    auto it = texts_.find(address);
    return it == texts_.end() ? std::string() : it->second;
}

std::string BoardBus::Unframed() {
    std::lock_guard lk(m_);
    return unframed_;
}

std::string BoardBus::Raw() {
    std::lock_guard lk(m_);
    return raw_;
}

void BoardBus::Clear() {
    std::lock_guard lk(m_);
    frames_.clear();
    raw_.clear();
    unframed_.clear();
    texts_.clear();
}

void BoardBus::OnBytes(const std::string& bytes) {
    std::lock_guard lk(m_);
    raw_ += bytes;
    for (unsigned char b : bytes) {
        if (raw_mode_) {
            collecting_ += static_cast<char>(b);
            continue;
        }
        if (!in_frame_) {
            if (b == 0x7E) {
                in_frame_ = true;
                escaped_ = false;
                frame_.clear();
            } else if (b == 0xCC) {
                Send(unframed_script_.ok ? "OK" : "NO");
            } else if (b == 0x42) {
                raw_mode_ = true;
                collecting_.clear();
            }
            continue;
        }
        if (escaped_) {
            frame_ += static_cast<char>(b ^ 0x20);
            escaped_ = false;
        } else if (b == 0x7D) {
            escaped_ = true;
        } else if (b == 0x7C) {
            in_frame_ = false;
            Frame(frame_);
        } else {
            frame_ += static_cast<char>(b);
        }
    }
}

void BoardBus::OnQuiet() {
    std::lock_guard lk(m_);
    if (!raw_mode_) return;
    // An unframed block: data and the CRC-8 of the data.
    raw_mode_ = false;
    if (collecting_.empty()) return;
    const std::string data = collecting_.substr(0, collecting_.size() - 1);
    const bool good =
        RefCrc8Maxim(data) == static_cast<uint8_t>(collecting_.back()) && unframed_script_.ok;
    if (good) unframed_ = data;
    Send(good ? "OK" : "NO");
}

void BoardBus::Frame(const std::string& body) {
    if (body.size() < 8 || RefCrc16Arc(body) != 0) return;  // a board ignores a broken frame
    BoardFrame f;
    f.dest0 = static_cast<uint8_t>(body[0]);
    f.dest1 = static_cast<uint8_t>(body[1]);
    f.command = static_cast<uint8_t>(body[4]);
    f.sequence = static_cast<uint8_t>(body[5]);
    f.data = body.substr(6, body.size() - 8);
    frames_.push_back(f);
    auto it = boards_.find(f.dest0);
    if (f.dest1 != 1 || it == boards_.end()) return;
    BoardScript& s = it->second;
    if (s.silent) return;
    if (s.resends > 0) {
        --s.resends;
        Answer(s, f.dest0, f.dest1, 5, f.sequence, {});
        return;
    }
    if ((f.sequence & 0x80) == 0) {
        pending_[f.dest0] += f.data;
        Answer(s, f.dest0, f.dest1, s.inner_ack, f.sequence, {});
        return;
    }
    std::string all = pending_[f.dest0] + f.data;
    pending_.erase(f.dest0);
    const uint8_t command =
        s.final_command >= 0 ? static_cast<uint8_t>(s.final_command) : f.command;
    if (f.command == 1) {
        Answer(s, f.dest0, f.dest1, command, f.sequence, all + std::string(1, '\0'));
        return;
    }
    texts_[f.dest0] = all;
    Answer(s, f.dest0, f.dest1, command, f.sequence, {});
}

void BoardBus::Answer(const BoardScript& s, uint8_t d0, uint8_t d1, uint8_t command, uint8_t seq,
                      const std::string& data) {
    std::string header;
    if (s.swap_addresses) {
        header = {static_cast<char>(d0), static_cast<char>(d1), 0, 0};
    } else {
        header = {0, 0, static_cast<char>(d0), static_cast<char>(d1)};
    }
    header += static_cast<char>(command);
    header += static_cast<char>(seq);
    std::string body = header + data;
    std::string frame = RefFrame(body);
    if (s.bad_crc) {
        // Rebuild with the CRC off by one.
        const uint16_t crc = static_cast<uint16_t>(RefCrc16Arc(body) + 1);
        std::string plain = body;
        plain += static_cast<char>(crc & 0xFF);
        plain += static_cast<char>(crc >> 8);
        frame = "~";
        for (unsigned char b : plain) {
            if (b == 0x7C || b == 0x7D || b == 0x7E) {
                frame += '\x7D';
                frame += static_cast<char>(b ^ 0x20);
            } else {
                frame += static_cast<char>(b);
            }
        }
        frame += '|';
    }
    if (s.turnaround_ms > 0) ::usleep(s.turnaround_ms * 1000);
    Send(s.garbage_first + frame);
}

// --- DconBus ---------------------------------------------------------------------------------

DconBus::DconBus(int fd) : PeerThread(fd, 20) {
    Start();
}

DconBus::~DconBus() {
    Stop();
}

void DconBus::SetModule(uint8_t address, const ModuleScript& script) {
    std::lock_guard lk(m_);
    modules_[address] = script;
}

std::vector<std::string> DconBus::Commands() {
    std::lock_guard lk(m_);
    return commands_;
}

void DconBus::Clear() {
    std::lock_guard lk(m_);
    commands_.clear();
}

void DconBus::OnBytes(const std::string& bytes) {
    std::lock_guard lk(m_);
    for (char c : bytes) {
        if (c != '\r') {
            line_ += c;
            continue;
        }
        Command(line_);
        line_.clear();
    }
}

namespace {

std::string HexByte(unsigned v, bool lower) {
    char buf[4];
    std::snprintf(buf, sizeof buf, lower ? "%02x" : "%02X", v & 0xFF);
    return buf;
}

int HexValue(const std::string& s) {
    if (s.size() != 2) return -1;
    int v = 0;
    for (char c : s) {
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= c - '0';
        else if (c >= 'A' && c <= 'F')
            v |= c - 'A' + 10;
        else
            return -1;
    }
    return v;
}

}  // namespace

void DconBus::Command(const std::string& command) {
    commands_.push_back(command);
    if (command.size() != 4) return;
    const int address = HexValue(command.substr(1, 2));
    auto it = modules_.find(static_cast<uint8_t>(address));
    if (address < 0 || it == modules_.end()) return;
    ModuleScript& s = it->second;
    if (s.silent) return;
    if (s.silent_count > 0) {
        --s.silent_count;
        return;
    }
    const std::string from =
        HexByte(s.answer_as >= 0 ? unsigned(s.answer_as) : unsigned(address), false);
    std::string answer;
    if (command[0] == '$' && command[3] == 'I') {
        answer = "!" + from + HexByte(s.status, s.lower_case);
    } else if (command[0] == '#' && command[3] == '0') {
        if (s.refuse_short)
            answer = "?" + from;
        else
            answer = (s.refuse_values ? "?" : ">") + from + s.fields[0] + s.fields[1] + s.fields[2];
    } else {
        return;
    }
    answer += s.no_cr ? '#' : '\r';
    Send(answer);
}

}  // namespace boardsim
