// The emulated line: the byte line of a port whose far end is the emulator the service
// registered for it. A write hands the bytes to the emulator as code units, a read polls it for
// its answer, which comes whole. It knows no frame either.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fieldbus/core/ByteLine.h"
#include "fieldbus/core/HostApi.h"

namespace mb {

class CLogFile;

// Where the line finds the registration it follows.
class IEmulatorSource {
  public:
    virtual ~IEmulatorSource() = default;
    // The service's emulator registration for the port; null when none was given.
    virtual const EmulatorSlot* Emulator() const = 0;
};

class CEmulatedLine final : public IByteLine {
  public:
    // Longest answer taken, in code units; a longer one is refused whole (an overrun).
    static constexpr size_t kMaxMessage = 257;
    // The open error when no emulator is registered.
    static constexpr long kNoEmulator = 255;

    // The log is not owned and may be null.
    CEmulatedLine(const IEmulatorSource* source, CLogFile* log) : source_(source), log_(log) {}
    ~CEmulatedLine() override;

    // Takes the emulator registered now; kNoEmulator without one.
    long Open(const LineConfig& config, bool* settings_refused = nullptr) override;
    // Gives the emulator back, whether or not the registration still names it.
    bool Close() override;
    bool IsOpen() const override { return open_.load(); }
    // Whether an emulator is registered now.
    bool Registered() const;
    bool Purge(bool input, bool output) override;
    long Write(const uint8_t* bytes, size_t count, size_t& written, uint32_t within_ms) override;
    // Polls the emulator every 5 ms until it answers or `within_ms` pass.
    LineRead Read(uint8_t* buffer, size_t size, uint32_t within_ms) override;
    bool Paced() const override { return false; }

  private:
    const EmulatorSlot* Slot() const { return source_ != nullptr ? source_->Emulator() : nullptr; }
    // Brings the held emulator up to the one registered now (a new registration replaces the
    // old one, an unregistration drops it); the held handle or null.
    void* SyncEmulator();
    void DropEmulator();
    LineRead HandOver(uint8_t* buffer, size_t size);

    const IEmulatorSource* source_;
    CLogFile* log_;
    std::atomic<bool> open_{false};
    int port_ = 0;
    void* held_ = nullptr;  // the emulator in use (one reference)
    std::vector<char16_t> units_;
    std::vector<uint8_t> answer_;  // the answer being handed over
    size_t taken_ = 0;
};

}  // namespace mb
