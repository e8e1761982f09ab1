#include "fieldbus/core/PortModbus.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/ModbusLine.h"
#include "platform/time/clock.h"

namespace mb {

namespace {

// The registered emulator as the client's line: a frame goes to it as code units and its
// answer is polled for until the answer time-out. It has no time-out record and no input of
// its own to read.
class CEmulatedModbusLine final : public IModbusLine {
  public:
    explicit CEmulatedModbusLine(IPortModbusOwner* owner) : owner_(owner) {}

    bool Open(int port, uint32_t baud, uint8_t parity, long& error) override;
    bool Close() override;
    void Shutdown() override;
    bool IsOpen() const override;
    bool Purge() override;
    bool Write(const uint8_t* frame, size_t length, size_t& written) override;
    bool ReadAvailable(uint8_t* buffer, size_t size, size_t& count) override;
    ReadResult ReadAnswer(uint8_t* buffer, size_t capacity, size_t cap, size_t first,
                          size_t& count) override;
    int RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size, size_t& got,
                    uint32_t wait_ms) override;

  private:
    const EmulatorSlot* Slot() const { return owner_ != nullptr ? owner_->Emulator() : nullptr; }
    // Brings the held emulator up to the one registered now (a new registration replaces the
    // old one, an unregistration drops it); the held handle or null. Port lock.
    void* SyncEmulator();
    void DropEmulator();

    IPortModbusOwner* owner_;
    std::atomic<bool> emu_open_{false};
    std::atomic<int> emu_port_{0};
    void* held_ = nullptr;  // the emulator in use (one reference), under the port lock
    std::vector<char16_t> units_;
};

void CEmulatedModbusLine::DropEmulator() {
    if (held_ == nullptr) return;
    const EmulatorSlot* slot = Slot();
    if (slot != nullptr && slot->release != nullptr) slot->release(held_);
    held_ = nullptr;
}

void* CEmulatedModbusLine::SyncEmulator() {
    const EmulatorSlot* slot = Slot();
    if (slot == nullptr || slot->acquire == nullptr) {
        DropEmulator();
        return nullptr;
    }
    void* current = slot->acquire(slot->context);
    if (current == held_) {
        if (current != nullptr) slot->release(current);  // already counted once
        return held_;
    }
    if (current != nullptr && held_ != nullptr && Log() != nullptr)
        Log()->Info("Emulator replaced");
    DropEmulator();
    held_ = current;
    return held_;
}

bool CEmulatedModbusLine::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    error = plat::ERROR_SUCCESS;
    Guard guard(Client());
    if (!guard) {
        error = 1460;  // ERROR_TIMEOUT, as the active open
        return false;
    }
    Client().SetBaud(baud);
    Client().SetParity(parity);
    if (Log()) Log()->Info("Открытие порта в режиме эмуляции");
    // Whatever an earlier open held is let go first: the registration may have changed since.
    DropEmulator();
    if (SyncEmulator() == nullptr) {
        emu_open_.store(false);
        error = CPortModbus::kNoEmulator;
        return false;
    }
    emu_port_.store(port);
    emu_open_.store(true);
    return true;
}

bool CEmulatedModbusLine::Close() {
    Guard guard(Client());
    if (Log()) Log()->Info("Закрытие порта в режиме эмуляции");
    // The held reference goes back whether or not the slot still names it: after an
    // unregistration it would otherwise never be released.
    DropEmulator();
    if (owner_ != nullptr) owner_->LineStatus(0);
    emu_open_.store(false);
    return true;
}

void CEmulatedModbusLine::Shutdown() {
    Guard guard(Client());
    DropEmulator();
    emu_open_.store(false);
}

bool CEmulatedModbusLine::IsOpen() const {
    const EmulatorSlot* slot = Slot();
    void* current =
        slot != nullptr && slot->acquire != nullptr ? slot->acquire(slot->context) : nullptr;
    if (current != nullptr) {
        slot->release(current);
        return emu_open_.load();
    }
    if (owner_ != nullptr) owner_->LineStatus(-4);
    return false;
}

bool CEmulatedModbusLine::Purge() {
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    if (emu == nullptr) return true;
    const EmulatorSlot* slot = owner_->Emulator();
    return slot->purge == nullptr || slot->purge(emu) == plat::S_OK;
}

bool CEmulatedModbusLine::Write(const uint8_t* frame, size_t length, size_t& written) {
    CLogFile* log = Log();
    written = 0;
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = Slot();
    if (emu == nullptr || slot->write_call == nullptr) {
        if (log) log->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        return false;
    }
    units_.assign(frame, frame + length);
    const plat::HRESULT hr =
        slot->write_call(emu, units_.data(), static_cast<uint32_t>(units_.size()));
    bool ok = true;
    if (plat::Failed(hr)) {
        if (log)
            log->Warning("Ошибка WriteQuery в режиме эмуляции. 0x%08X", static_cast<unsigned>(hr));
        plat::Sleep(10);
        ok = false;
    } else {
        written = length;
    }
    plat::Sleep(5);
    if (log && log->TraceOn())
        log->Trace("Запрос %s %i", HexText({frame, length}).c_str(),
                   int(length * 11000 / std::max<uint32_t>(Client().GetBaud(), 1)));
    AnswerWatch().Start();
    return ok;
}

bool CEmulatedModbusLine::ReadAvailable(uint8_t*, size_t, size_t& count) {
    // No byte stream to read from: the read fails as on a port that is not open.
    count = 0;
    if (Log()) Log()->Warning("{EC045629-2987-4c5b-8933-AADB84F8E4EC} 0x=%xd", 0u);
    return false;
}

ReadResult CEmulatedModbusLine::ReadAnswer(uint8_t* buffer, size_t capacity, size_t, size_t,
                                           size_t& count) {
    CLogFile* log = Log();
    count = 0;
    const uint32_t start = plat::GetTickCount();
    const uint32_t limit = Client().GetAnswerTimeout();
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = Slot();
    if (emu == nullptr || slot->read_answer == nullptr) {
        if (log) log->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        return ReadResult::kFailed;
    }
    char16_t units[CPortModbus::kMaxEmulatedAnswer + 1];
    uint32_t length = 0;
    plat::HRESULT hr;
    for (;;) {
        length = 0;
        hr = slot->read_answer(emu, units, static_cast<uint32_t>(std::size(units)), &length);
        if (plat::Failed(hr) || length != 0 || plat::TickDiff(plat::GetTickCount(), start) >= limit)
            break;
        plat::Sleep(5);
    }
    if (plat::Failed(hr)) {
        if (log) log->Warning("{CE14B208-7BA8-4681-ABED-CE5743CC7C06} %d", emu_port_.load());
        return ReadResult::kFailed;
    }
    AnswerWatch().Mark();
    bool too_long = false;
    if (length > CPortModbus::kMaxEmulatedAnswer || length > capacity) {
        too_long = true;
        if (log) log->Warning("Emulated answer of %u units refused", unsigned(length));
    } else {
        for (uint32_t i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(units[i]);
        count = length;
    }
    if (log && log->TraceOn()) log->Trace("Ответ %s", HexText({buffer, count}).c_str());
    return too_long ? ReadResult::kTooLong : ReadResult::kRead;
}

int CEmulatedModbusLine::RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer,
                                     size_t size, size_t& got, uint32_t wait_ms) {
    CLocalModbus& c = Client();
    got = 0;
    Guard guard(c);
    if (!guard) return kMbLockTimeout;
    if (!IsOpen()) return kMbPortNotOpen;
    size_t written = 0;
    if (bytes == nullptr || count == 0 || !Write(bytes, count, written) || written < count)
        return kMbWriteError;
    const uint32_t saved = c.GetAnswerTimeout();
    if (wait_ms != 0) c.SetAnswerTimeout(wait_ms);
    uint8_t answer[CPortModbus::kMaxEmulatedAnswer + 1];
    size_t n = 0;
    const ReadResult read = ReadAnswer(answer, sizeof answer, 0, 0, n);
    c.SetAnswerTimeout(saved);
    if (read == ReadResult::kFailed) return kMbReadError;
    if (read == ReadResult::kTooLong) return kMbInvalidAnswer;
    got = std::min(n, buffer != nullptr ? size : 0);
    if (got > 0) std::copy(answer, answer + got, buffer);
    return n == 0 ? kMbTimeout : kMbOk;
}

}  // namespace

CPortModbus::CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation)
    : CLocalModbus(emulation
                       ? std::unique_ptr<IModbusLine>(std::make_unique<CEmulatedModbusLine>(owner))
                       : std::make_unique<CSerialModbusLine>(true),
                   port_log),
      emulation_(emulation) {}

}  // namespace mb
