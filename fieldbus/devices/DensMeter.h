// The density meter: density, temperature and viscosity of the product, read from a meter that
// speaks Modbus itself (CDensMeter) or through a DCON I/O module (CDensMeterICPCON). The
// measured values are polled only while a client asks for them.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fieldbus/core/Device.h"

namespace mb {

// Published values: density from kg/m3 to kg/l in five places, temperature in two and
// viscosity in four.
float RoundDensity(float kg_per_m3);
float RoundTemperature(float value);
float RoundViscosity(float value);

class CDensMeter : public CDevice {
  public:
    static constexpr uint32_t kPollMs = 2500;
    enum Slot : size_t { kDensity, kTemperature, kViscosity, kState, kSlotCount };

    CDensMeter(IDevicePort* port, uint8_t address, std::string name);
    ~CDensMeter() override;

    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;
    // The seven registers from 0 in one request: state, then density, temperature and
    // viscosity as floats whose first register is the low half.
    bool ReadItem(CDeviceItem* item) override;
    std::string DefineErrorText(int32_t value, plat::LCID lcid) override;

    const ItemSlot& GetSlot(size_t i) const { return slots_.at(i); }

  private:
    std::array<ItemSlot, kSlotCount> slots_;
    int32_t branch_ = -1;
    uint32_t next_poll_ = 0;
};

class CDensMeterICPCON : public CDevice {
  public:
    static constexpr uint32_t kPollMs = 3000;
    enum Slot : size_t { kState, kDensity, kTemperature, kViscosity, kSlotCount };

    CDensMeterICPCON(IDevicePort* port, uint8_t address, std::string name);
    ~CDensMeterICPCON() override;

    int Scan() override;
    void SetBadQuality() override;
    bool Init() override;

    const ItemSlot& GetSlot(size_t i) const { return slots_.at(i); }
    uint8_t LastStatus() const { return last_status_; }

  private:
    std::array<ItemSlot, kSlotCount> slots_;
    int32_t branch_ = -1;
    uint32_t next_poll_ = 0;
    uint8_t last_status_ = 0;
};

struct DetectedDevice;
// The detection table's makers: "DensMeter%i" (name shift + address), types "LVX3" and
// "LVX3ICPCON".
std::unique_ptr<CDevice> MakeDensMeter(IDevicePort* port, const DetectedDevice& found);
std::unique_ptr<CDevice> MakeDensMeterIcpcon(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
