// The per-port device list: owns the port's devices and picks the next one to poll by their
// scheduling state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mb {

class CDevice;

// The port's devices in insertion order; owns them.
class CDeviceList {
  public:
    CDeviceList() = default;
    ~CDeviceList();
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;

    // False for nullptr and for a device that is already in the list (which keeps owning it).
    bool Add(std::unique_ptr<CDevice> device);
    // Takes the device out and hands it back (nullptr when it was not in the list).
    std::unique_ptr<CDevice> Remove(CDevice* device);
    // First device at that address that has not flagged itself for removal.
    CDevice* FindByAddress(uint8_t address) const;
    bool IsEmpty() const { return devices_.empty(); }
    size_t Size() const { return devices_.size(); }
    CDevice* At(size_t i) const { return i < devices_.size() ? devices_[i].get() : nullptr; }
    int CountActive() const;
    // Destroys the devices from the front until the list is empty.
    void DeleteAll();

    // One aging round; returns the number of devices.
    int Age();
    // Ages, then picks the online device with the largest counter (earliest on ties).
    bool PickNext(CDevice*& out);
    // The offline device with the largest counter, for the re-probe; no aging of its own.
    bool PickOffline(CDevice*& out);

  private:
    CDevice* PickLargest(bool (*eligible)(const CDevice&));

    std::vector<std::unique_ptr<CDevice>> devices_;
};

}  // namespace mb
