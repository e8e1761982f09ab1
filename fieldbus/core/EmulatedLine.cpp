#include "fieldbus/core/EmulatedLine.h"

#include <algorithm>
#include <cstring>

#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

CEmulatedLine::~CEmulatedLine() {
    DropEmulator();
}

void CEmulatedLine::DropEmulator() {
    if (held_ == nullptr) return;
    const EmulatorSlot* slot = Slot();
    if (slot != nullptr && slot->release != nullptr) slot->release(held_);
    held_ = nullptr;
}

void* CEmulatedLine::SyncEmulator() {
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
    if (current != nullptr && held_ != nullptr && log_ != nullptr) log_->Info("Emulator replaced");
    DropEmulator();
    held_ = current;
    return held_;
}

long CEmulatedLine::Open(const LineConfig& config, bool* settings_refused) {
    if (settings_refused != nullptr) *settings_refused = false;
    // Whatever an earlier open held is let go first: the registration may have changed since.
    DropEmulator();
    if (SyncEmulator() == nullptr) {
        open_.store(false);
        return kNoEmulator;
    }
    port_ = config.port;
    open_.store(true);
    return plat::ERROR_SUCCESS;
}

bool CEmulatedLine::Close() {
    const bool was = open_.load();
    DropEmulator();
    answer_.clear();
    taken_ = 0;
    open_.store(false);
    return was;
}

bool CEmulatedLine::Registered() const {
    const EmulatorSlot* slot = Slot();
    void* current =
        slot != nullptr && slot->acquire != nullptr ? slot->acquire(slot->context) : nullptr;
    if (current == nullptr) return false;
    slot->release(current);
    return true;
}

bool CEmulatedLine::Purge(bool, bool) {
    answer_.clear();
    taken_ = 0;
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    if (emu == nullptr) return true;
    const EmulatorSlot* slot = Slot();
    return slot->purge == nullptr || slot->purge(emu) == plat::S_OK;
}

long CEmulatedLine::Write(const uint8_t* bytes, size_t count, size_t& written, uint32_t) {
    written = 0;
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = Slot();
    if (emu == nullptr || slot->write_call == nullptr) {
        if (log_ != nullptr) log_->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        return plat::E_FAIL;
    }
    units_.assign(bytes, bytes + count);
    const plat::HRESULT hr =
        slot->write_call(emu, units_.data(), static_cast<uint32_t>(units_.size()));
    long rc = plat::ERROR_SUCCESS;
    if (plat::Failed(hr)) {
        if (log_ != nullptr)
            log_->Warning("Ошибка WriteQuery в режиме эмуляции. 0x%08X", static_cast<unsigned>(hr));
        plat::Sleep(10);
        rc = hr;
    } else {
        written = count;
    }
    plat::Sleep(5);
    return rc;
}

LineRead CEmulatedLine::HandOver(uint8_t* buffer, size_t size) {
    LineRead r;
    r.got = std::min(size, answer_.size() - taken_);
    if (r.got > 0) std::memcpy(buffer, answer_.data() + taken_, r.got);
    taken_ += r.got;
    r.end = taken_ == answer_.size();
    return r;
}

LineRead CEmulatedLine::Read(uint8_t* buffer, size_t size, uint32_t within_ms) {
    if (taken_ < answer_.size()) return HandOver(buffer, size);
    answer_.clear();
    taken_ = 0;
    LineRead r;
    const uint32_t start = plat::GetTickCount();
    void* emu = held_ != nullptr ? SyncEmulator() : nullptr;
    const EmulatorSlot* slot = Slot();
    if (emu == nullptr || slot->read_answer == nullptr) {
        if (log_ != nullptr) log_->Error("Нулевой интерфейс IHWEmu");
        plat::Sleep(5);
        r.error = plat::E_FAIL;
        return r;
    }
    char16_t units[kMaxMessage + 1];
    uint32_t length = 0;
    plat::HRESULT hr;
    for (;;) {
        length = 0;
        hr = slot->read_answer(emu, units, static_cast<uint32_t>(std::size(units)), &length);
        if (plat::Failed(hr) || length != 0 ||
            plat::TickDiff(plat::GetTickCount(), start) >= within_ms)
            break;
        plat::Sleep(5);
    }
    if (plat::Failed(hr)) {
        if (log_ != nullptr) log_->Warning("{CE14B208-7BA8-4681-ABED-CE5743CC7C06} %d", port_);
        r.error = hr;
        return r;
    }
    if (length > kMaxMessage) {
        if (log_ != nullptr) log_->Warning("Emulated answer of %u units refused", unsigned(length));
        r.overrun = true;
        return r;
    }
    answer_.resize(length);
    for (uint32_t i = 0; i < length; ++i) answer_[i] = static_cast<uint8_t>(units[i]);
    return HandOver(buffer, size);
}

}  // namespace mb
