// One serial port handed to the library: its line, the devices found on it, the system device,
// the port log, the free bus addresses and the client captures, and the bus thread that finds,
// remembers (registry MBDev), polls, re-probes and searches devices.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceList.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/DeviceState.h"
#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/HostCalls.h"
#include "fieldbus/core/PortModbus.h"

namespace mb {

class CLogFile;

// A board-bus or DCON line as the bus thread drives it. By default the bus thread makes the
// line of its protocol (CLocalConvel, CLocalICPCON); tests may plug in another through
// SetOtherLineFactory.
class IOtherLine {
  public:
    virtual ~IOtherLine() = default;
    // The mode's baud rate and parity; `error` takes the platform's open code on failure.
    virtual bool Open(int port, uint32_t baud, int parity, long& error) = 0;
    virtual bool IsOpen() = 0;
    // 16 when the address answered, -1 otherwise.
    virtual int Probe(uint8_t address) = 0;
    // Board bus: the line's link test is switched off, so every probe answers.
    virtual bool LinkTestOff() { return false; }
    virtual CLocalConvel* Convel() { return nullptr; }
    virtual CLocalICPCON* Icpcon() { return nullptr; }
};
// A factory returning null leaves the protocol's own line in place.
using OtherLineFactory = std::unique_ptr<IOtherLine> (*)(int protocol, CLogFile* port_log);
// The protocol's own line: null for Modbus and unknown protocols.
std::unique_ptr<IOtherLine> MakeOtherLine(int protocol, CLogFile* port_log);
void SetOtherLineFactory(OtherLineFactory factory);

// Registry place of the devices a port remembers: "<kMbDevKey>\COM<n>\<address>".
inline constexpr const char* kMbDevKey = "SOFTWARE\\Norvalt\\Drv\\MBDev";

class CPortThread : public IDevicePort, public IPortModbusOwner {
  public:
    // Timer periods of the scan loop, ms.
    static constexpr uint32_t kFreeProbePeriod = 30000;
    static constexpr uint32_t kOfflineProbePeriod = 2000;
    static constexpr uint32_t kRegistryPeriod = 5000;

    // Opens the line once (the link check). `emulator` may be null.
    CPortThread(const BusContext& context, int protocol, int port, uint32_t baud, int parity,
                int shift, int32_t* status_cell, bool emulation, const EmulatorSlot* emulator,
                const std::vector<DeviceModel>* models = nullptr);
    // Stops the bus thread if it runs, then tears everything down.
    ~CPortThread() override;
    CPortThread(const CPortThread&) = delete;
    CPortThread& operator=(const CPortThread&) = delete;

    // The link check opened the line or found a condition worth retrying (busy port,
    // emulator not yet registered); otherwise no bus thread should be made.
    bool Ready() const { return ready_; }
    void SetInfoCell(int32_t* info) { info_cell_ = info; }
    // Starts the bus thread; false when it cannot be made (logged).
    bool Start();
    // Sets the stop flag and waits for the bus thread.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // --- IDevicePort ---
    CModbus* PortModbus() override {
        return protocol_ == kProtocolModbus ? modbus_.get() : nullptr;
    }
    CLogFile* PortLog() override { return log_.get(); }
    const HostCallbacks* PortHost() override { return context_.host.Table(); }
    int32_t CaptureCount(uint8_t address) override;
    bool IsRealPort() override { return !emulation_; }
    CLocalConvel* PortConvel() override { return other_ ? other_->Convel() : nullptr; }
    CLocalICPCON* PortIcpcon() override { return other_ ? other_->Icpcon() : nullptr; }
    int PortNumber() const override { return port_; }
    int NameShift() const override { return shift_; }
    bool FlatPosts() const override { return context_.flat_posts; }
    int Capture(uint8_t address, bool read_write) override;
    int Release(uint8_t address) override;
    bool IsFreeAddress(uint8_t address) override;
    bool AdoptDevice(CDevice* device) override;
    std::unique_ptr<CDevice> ReleaseDevice(CDevice* device) override;
    void MoveAddress(uint8_t from, uint8_t to) override;

    // --- IPortModbusOwner ---
    const EmulatorSlot* Emulator() const override { return emulator_; }
    void LineStatus(int32_t status) override;

    int MaxAddress() const { return max_address_; }
    CPortModbus* Modbus() { return modbus_.get(); }
    // Registry key of this port's remembered devices.
    std::string DevKey() const;

  private:
    enum class LoopEnd { kStopped, kPortLost, kFault };

    void Body();
    bool LinkCheck();
    bool LineOpen();
    void ReloadDevices();
    LoopEnd ScanLoop();
    // False when the device was passed over (captured read-write).
    bool ScanStep(CDevice* device);
    void SystemScan();
    void ReprobeOffline();
    void RegistryPass();
    void FreeProbe();
    void SearchPass();
    // 0 when a device was added at free_[index].
    int FreeTry(size_t index);
    // 16 answered, -1 not (or captured).
    int Probe(uint8_t address, int tries);
    std::unique_ptr<CDevice> Detect(uint8_t address);
    const DeviceModel* FindModel(int32_t type_code, bool plain) const;
    void Remember(uint8_t address, const CDevice& device);
    void DeleteEntries(uint8_t address);
    void AddDevice(std::unique_ptr<CDevice> device, int32_t state);
    void RemoveDevice(CDevice* device);
    void TakeAddress(uint8_t address);
    void DropDevices();
    void PublishCount();
    void SetStatus(int32_t value);
    bool Stopping() const { return stop_.load() != 0; }
    // Sleeps `times` x `ms`, false as soon as the stop flag is seen.
    bool Nap(int times, uint32_t ms);

    const BusContext context_;
    const int protocol_;
    const int port_;
    const uint32_t baud_;
    const int parity_;
    const int shift_;
    int32_t* status_cell_;
    int32_t* info_cell_ = nullptr;
    const bool emulation_;
    const EmulatorSlot* emulator_;
    const std::vector<DeviceModel>* models_;
    int max_address_ = 247;
    uint32_t echo_ = 0;
    bool ready_ = false;
    long open_error_ = 0;  // of the last link check, 0 after an open

    std::atomic<uint8_t> stop_{0};
    std::atomic<uint8_t> port_open_{0};
    std::thread thread_;

    std::unique_ptr<CLogFile> log_;
    std::unique_ptr<CPortModbus> modbus_;
    std::unique_ptr<IOtherLine> other_;
    std::unique_ptr<CDevice> system_;
    CDeviceList devices_;
    std::vector<uint8_t> free_;
    std::unique_ptr<std::atomic<int32_t>[]> captures_;
    int32_t force_search_ = 0;
    size_t next_free_ = 0;
    size_t registry_index_ = 0;
    uint32_t free_probe_at_ = 0;
    uint32_t offline_probe_at_ = 0;
    uint32_t registry_at_ = 0;
};

}  // namespace mb
