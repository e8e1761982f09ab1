// One device variable as the host sees it: the counted object handed to pItemCreate. The host
// writes, asks for reads and queries OPC properties through IModbusItem; the device's bus
// thread hands it samples through CDeviceItem, which it passes on to the host.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "fieldbus/core/DeviceItem.h"
#include "fieldbus/core/HostApi.h"
#include "fieldbus/core/HostCalls.h"
#include "fieldbus/core/ItemOwner.h"
#include "fieldbus/core/ModbusClient.h"

namespace mb {

class CLogFile;

// Results of a write the variable answers itself.
inline constexpr int32_t kWriteOffline = HostCode(WriteResult::kOffline);

class CVariable final : public IModbusItem, public CDeviceItem {
  public:
    // Made from the device's item slot with one reference, the caller's. `host`'s table must
    // outlive the variable; its calls report to `log`, which is dropped with the device
    // (DetachDevice).
    CVariable(IItemOwner* device, const ItemSlot& slot, CHostCalls host, CLogFile* log);
    CVariable(const CVariable&) = delete;
    CVariable& operator=(const CVariable&) = delete;

    // --- IUnknown ---
    plat::HRESULT QueryInterface(const plat::IID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    // --- IModbusItem (host threads) ---
    plat::HRESULT RequestRead() override;
    int32_t Write(const plat::Variant& value) override;
    plat::HRESULT RequestRefresh() override;
    plat::HRESULT SetUpdateRequest(int32_t flag) override;
    plat::HRESULT QueryAvailableProperties(uint32_t* count, uint32_t** ids,
                                           char16_t*** descriptions,
                                           plat::VARTYPE** types) override;
    plat::HRESULT GetItemProperties(uint32_t count, const uint32_t* ids, plat::LCID locale,
                                    plat::Variant** values, plat::HRESULT** errors) override;

    // --- CDeviceItem (bus thread) ---
    std::string ItemName() const override { return name_; }
    uint16_t ItemRegister() const override { return reg_; }
    plat::VARTYPE RawType() const override { return raw_type_; }
    bool IsReadOnly() const override;
    bool TakeReadBackMark() override { return read_back_.exchange(false); }
    void NewSample(plat::Variant value, uint16_t quality, uint64_t time) override {
        NewSample(std::move(value), quality, time, false);
    }
    // `force` sends the sample even when nothing changed.
    void NewSample(plat::Variant value, uint16_t quality, uint64_t time, bool force);
    void SetQuality(uint16_t quality, uint64_t time) override;
    void SendInitialValue() override;
    IModbusItem* HostItem() override { return this; }
    void SetHostHandle(int32_t handle) override { handle_.store(handle); }

    int32_t HostHandle() const { return handle_.load(); }
    // The minimum read interval has passed since the last sample.
    bool IsReadDue();
    // Reads asked for by the host and not yet done (2 after a request).
    int32_t ReadRequests() const { return read_requests_.load(); }
    void SetReadRequests(int32_t n) { read_requests_.store(n); }
    // The device goes away: waits for host calls that use it, after which writes answer 1117.
    void DetachDevice();
    // Current value, quality and time (UTC, FILETIME units), and what the host was sent.
    plat::Variant Value();
    plat::Variant Converted();
    uint16_t Quality();
    uint64_t Time();
    int Decimals() const { return decimals_; }

  private:
    ~CVariable() override;

    // OPC access rights of the access byte (9 is read/write).
    uint8_t Rights() const;
    // Rounds a value to the variable's decimals in its own floating type.
    void Round(plat::Variant& v);
    void SendSample(const plat::Variant& value, uint16_t quality, uint64_t time);
    void SendTime(uint64_t time);

    std::atomic<uint32_t> refs_{1};
    const std::string name_;
    const uint16_t reg_;
    const uint8_t access_;
    const plat::VARTYPE raw_type_;
    const plat::VARTYPE canonical_type_;  // 0: same as raw
    const uint32_t min_interval_ms_;
    const uint32_t units_id_;
    const uint32_t description_id_;
    const bool alarm_help_;
    const bool quiet_;
    const int address_;  // the device's bus address, for log lines
    const double minimum_;
    const double maximum_;
    const CHostCalls host_;
    int decimals_;  // bus thread; lowered to 5 on first rounding
    std::atomic<int32_t> handle_{-1};
    std::atomic<int32_t> read_requests_{0};
    std::atomic<bool> read_back_{false};
    // The properties offered, fixed at creation.
    std::vector<std::pair<uint32_t, plat::VARTYPE>> properties_;

    // Guards the device and the log; writes and property reads hold it shared for the call.
    // Calls that begin once a detach has begun act as detached, so that a host calling
    // without pause cannot hold the bus thread in DetachDevice.
    std::shared_mutex device_lock_;
    std::atomic<bool> detaching_{false};
    IItemOwner* device_;
    CLogFile* log_;
    // A shared hold of device_lock_ for one host call; empty once a detach has begun.
    std::shared_lock<std::shared_mutex> Hold();
    // Under Hold(): the device, or null once a detach has begun.
    IItemOwner* Device() const { return detaching_.load() ? nullptr : device_; }
    CLogFile* Log() const { return detaching_.load() ? nullptr : log_; }

    // Guards the sample; never held while calling the host.
    std::mutex value_lock_;
    plat::Variant value_;
    plat::Variant converted_;
    uint16_t quality_ = kQualityBad;
    uint64_t time_ = 0;
    CPerformanceCounter since_read_;
};

}  // namespace mb
