#include "fieldbus/core/PortModbus.h"

#include <algorithm>

#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

CPortModbus::CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation)
    : CLocalModbus(port_log), owner_(owner), emulation_(emulation) {}

CPortModbus::~CPortModbus() {
    if (emulation_) {
        PortGuard guard(*this);
        DropEmulator();
        emu_open_.store(false);
    }
}

void CPortModbus::DropEmulator() {
    if (held_ == nullptr) return;
    const EmulatorSlot* slot = owner_ != nullptr ? owner_->Emulator() : nullptr;
    if (slot != nullptr && slot->release != nullptr) slot->release(held_);
    held_ = nullptr;
}

void* CPortModbus::SyncEmulator() {
    const EmulatorSlot* slot = owner_ != nullptr ? owner_->Emulator() : nullptr;
    if (slot == nullptr || slot->acquire == nullptr) {
        DropEmulator();
        return nullptr;
    }
    void* current = slot->acquire(slot->context);
    if (current == held_) {
        if (current != nullptr) slot->release(current);  // already counted once
        return held_;
    }
    if (current != nullptr && held_ != nullptr && log_ != nullptr) log_->Info("Emulator replaced");
    DropEmulator();
    held_ = current;
    return held_;
}

int CPortModbus::Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                             size_t expected, uint16_t encapsulation, size_t& answer_length) {
    if (!emulation_)
        return CLocalModbus::Transaction(request, length, answer, expected, encapsulation,
                                         answer_length);
    PortGuard guard(*this);
    if (!guard) {
        answer_length = 0;
        return kMbLockTimeout;
    }
    oversize_ = false;
    const int code =
        CLocalModbus::Transaction(request, length, answer, expected, encapsulation, answer_length);
    // An answer longer than any RTU frame is a broken answer, not silence.
    if (oversize_) {
        answer_length = 0;
        return kMbInvalidAnswer;
    }
    return code;
}

int CPortModbus::RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                             size_t& got, uint32_t wait_ms) {
    if (!emulation_) return CLocalModbus::RawExchange(bytes, count, buffer, size, got, wait_ms);
    got = 0;
    PortGuard guard(*this);
    if (!guard) return kMbLockTimeout;
    if (!IsOpen()) return kMbPortNotOpen;
    size_t written = 0;
    if (bytes == nullptr || count == 0 || !WriteQuery(bytes, count, written) || written < count)
        return kMbWriteError;
    const uint32_t saved = GetAnswerTimeout();
    if (wait_ms != 0) SetAnswerTimeout(wait_ms);
    uint8_t answer[kMaxEmulatedAnswer + 1];
    size_t n = 0;
    oversize_ = false;
    const bool ok = ReadAnswer(answer, sizeof answer, n, 0, count);
    SetAnswerTimeout(saved);
    if (!ok) return kMbReadError;
    if (oversize_) return kMbInvalidAnswer;
    got = std::min(n, buffer != nullptr ? size : 0);
    if (got > 0) std::copy(answer, answer + got, buffer);
    return n == 0 ? kMbTimeout : kMbOk;
}

bool CPortModbus::IsOpen() const {
    if (!emulation_) return CLocalModbus::IsOpen();
    const EmulatorSlot* slot = owner_ != nullptr ? owner_->Emulator() : nullptr;
    void* current =
        slot != nullptr && slot->acquire != nullptr ? slot->acquire(slot->context) : nullptr;
    if (current != nullptr) {
        slot->release(current);
        return emu_open_.load();
    }
    if (owner_ != nullptr) owner_->LineStatus(-4);
    return false;
}

bool CPortModbus::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    if (!emulation_) {
        if (log_) log_->Info("Открытие порта в активном режиме");
        return CLocalModbus::Open(port, baud, parity, error);
    }
    error = plat::ERROR_SUCCESS;
    PortGuard guard(*this);
    if (!guard) {
        error = 1460;  // ERROR_TIMEOUT, as the active open
        return false;
    }
    SetBaud(baud);
    SetParity(parity);
    if (log_) log_->Info("Открытие порта в режиме эмуляции");
    // Whatever an earlier open held is let go first: the registration may have changed since.
    DropEmulator();
    if (SyncEmulator() == nullptr) {
        emu_open_.store(false);
        error = kNoEmulator;
        return false;
    }
    emu_port_.store(port);
    emu_open_.store(true);
    return true;
}

bool CPortModbus::SetTimeout(const plat::serial::Timeouts* timeouts) {
    return emulation_ ? false : CLocalModbus::SetTimeout(timeouts);
}

bool CPortModbus::GetTimeouts(plat::serial::Timeouts& out) {
    if (!emulation_) return CLocalModbus::GetTimeouts(out);
    out = {};
    return false;
}

bool CPortModbus::Close() {
    if (!emulation_) {
        if (log_) log_->Info("Закрытие порта в активном режиме");
        return CLocalModbus::Close();
    }
    PortGuard guard(*this);
    if (log_) log_->Info("Закрытие порта в режиме эмуляции");
    // The held reference goes back whether or not the slot still names it: after an
    // unregistration it would otherwise never be released.
    DropEmulator();
    if (owner_ != nullptr) owner_->LineStatus(0);
    emu_open_.store(false);
    return true;
}

bool CPortModbus::Purge() {
    if (!emulation_) return CLocalModbus::Purge();
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    if (emu == nullptr) return true;
    const EmulatorSlot* slot = owner_->Emulator();
    return slot->purge == nullptr || slot->purge(emu) == plat::S_OK;
}

bool CPortModbus::WriteQuery(const uint8_t* frame, size_t length, size_t& written) {
    if (!emulation_) return CLocalModbus::WriteQuery(frame, length, written);
    written = 0;
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = owner_ != nullptr ? owner_->Emulator() : nullptr;
    if (emu == nullptr || slot->write_call == nullptr) {
        if (log_) log_->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        return false;
    }
    units_.assign(frame, frame + length);
    const plat::HRESULT hr =
        slot->write_call(emu, units_.data(), static_cast<uint32_t>(units_.size()));
    bool ok = true;
    if (plat::Failed(hr)) {
        if (log_)
            log_->Warning("Ошибка WriteQuery в режиме эмуляции. 0x%08X", static_cast<unsigned>(hr));
        plat::Sleep(10);
        ok = false;
    } else {
        written = length;
    }
    plat::Sleep(5);
    if (log_ && log_->TraceOn())
        log_->Trace("Запрос %s %i", HexText({frame, length}).c_str(),
                    int(length * 11000 / std::max<uint32_t>(GetBaud(), 1)));
    answer_watch_.Start();
    return ok;
}

bool CPortModbus::ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                             size_t sent) {
    if (!emulation_) return CLocalModbus::ReadAnswer(buffer, capacity, count, expected, sent);
    count = 0;
    const uint32_t start = plat::GetTickCount();
    const uint32_t limit = GetAnswerTimeout();
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = owner_ != nullptr ? owner_->Emulator() : nullptr;
    if (emu == nullptr || slot->read_answer == nullptr) {
        if (log_) log_->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        return false;
    }
    char16_t units[kMaxEmulatedAnswer + 1];
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
        if (log_) log_->Warning("{CE14B208-7BA8-4681-ABED-CE5743CC7C06} %d", emu_port_.load());
        return false;
    }
    answer_watch_.Mark();
    if (length > kMaxEmulatedAnswer || length > capacity) {
        oversize_ = true;
        if (log_) log_->Warning("Emulated answer of %u units refused", unsigned(length));
    } else {
        for (uint32_t i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(units[i]);
        count = length;
    }
    if (log_ && log_->TraceOn()) log_->Trace("Ответ %s", HexText({buffer, count}).c_str());
    return true;
}

}  // namespace mb
