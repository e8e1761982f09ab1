// Base of every device on a library port: bus address, port, item slots, the write queue,
// link counters and typed register access over the port's Modbus client.
#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fieldbus/core/DeviceItem.h"
#include "fieldbus/core/DeviceState.h"
#include "fieldbus/core/HostCalls.h"
#include "fieldbus/core/ItemOwner.h"
#include "fieldbus/core/ModbusClient.h"
#include "fieldbus/core/WriteQueue.h"
#include "platform/types/variant.h"

namespace mb {

class CDevice;
class CLocalConvel;
class CLocalICPCON;
class CLogFile;
class CVariable;

// What a device needs of its port; the port's bus-thread object provides it.
class IDevicePort {
  public:
    virtual ~IDevicePort() = default;
    // The port's Modbus client; null when the port speaks another protocol.
    virtual CModbus* PortModbus() = 0;
    // The port log; may be null.
    virtual CLogFile* PortLog() = 0;
    // The host's command callbacks; may be null.
    virtual const HostCallbacks* PortHost() = 0;
    // Capture count of an address: 0 free, > 0 captured read-write, < 0 read-only.
    virtual int32_t CaptureCount(uint8_t address) = 0;
    // A real line; false in emulation.
    virtual bool IsRealPort() { return true; }
    // The board-bus and DCON ports; null when the port speaks another protocol.
    virtual CLocalConvel* PortConvel() { return nullptr; }
    virtual CLocalICPCON* PortIcpcon() { return nullptr; }
    // n of COMn; 0 when the port has none.
    virtual int PortNumber() const { return 0; }
    // Added to the device names (the host's name shift).
    virtual int NameShift() const { return 0; }
    // The host's flat-posts switch, as the application read it when the port started.
    virtual bool FlatPosts() const { return false; }
    // Capture of an address for a client: 0, or WriteResult::kCaptureRefused. Release of one
    // address or, with 0, of every address: 0.
    virtual int Capture(uint8_t /*address*/, bool /*read_write*/) {
        return HostCode(WriteResult::kCaptureRefused);
    }
    virtual int Release(uint8_t /*address*/) { return 0; }
    // Whether an address is on the port's list of free bus addresses.
    virtual bool IsFreeAddress(uint8_t /*address*/) { return false; }
    // A device made by another device (a control unit's posts): the port takes it into its
    // device list and owns it from then on. False when the port cannot take it (the caller
    // keeps ownership).
    virtual bool AdoptDevice(CDevice* /*device*/) { return false; }
    // Hands an adopted device back to its maker (a control unit dropping a post); null when the
    // port does not hold it. A port that adopts devices must give them back here.
    virtual std::unique_ptr<CDevice> ReleaseDevice(CDevice* /*device*/) { return nullptr; }
    // A device moved to another bus address: the new one leaves the free list, the old one
    // returns to it, and the remembered device follows.
    virtual void MoveAddress(uint8_t /*from*/, uint8_t /*to*/) {}
};

// Device error value of a write refused for a locked parameter (exception 0x48).
inline constexpr int kWriteLocked = HostCode(WriteResult::kRefused);
// Write results of the executing road.
inline constexpr int32_t kResultCaptured = HostCode(WriteResult::kNotIdle);
// A value type the register access cannot carry; nothing is sent.
inline constexpr int kBadValueType = HostCode(WriteResult::kBadVariable);

class CDevice : public CDeviceState, public IItemOwner {
  public:
    // A new device counts as just probed. The port is not owned and may be null; the device
    // keeps the port's host table from now on.
    explicit CDevice(uint8_t address, IDevicePort* port = nullptr);
    // Removes the variables it made from the host (DestroyVariables), then answers every write
    // still queued (and every one folded into a write not yet answered) with 1117: their
    // clients would otherwise wait for a result that never comes.
    ~CDevice() override;

    uint8_t GetAddress() const { return address_; }
    // Bus thread only: the device answers at another address from now on.
    void SetAddress(uint8_t address) { address_ = address; }
    IDevicePort* Port() const { return port_; }
    // Set by a model that wants to be removed and detected again.
    bool IsMarkedForRemoval() const { return remove_.load() != 0; }
    void MarkForRemoval(bool on = true) { remove_.store(on ? 1 : 0); }
    // Where the bus thread looks for the device again after removing it: a model that moved
    // its device to another bus address sets it; 0 means its own address.
    uint8_t RedetectAddress() const {
        const uint8_t a = redetect_.load();
        return a != 0 ? a : address_;
    }
    void SetRedetectAddress(uint8_t address) { redetect_.store(address); }

    // --- operations the models override (in the order of the device's virtual table) ---
    // One poll step of the bus thread.
    virtual int Scan() { return 1; }
    // All variables to quality 0 (offline, or captured read-write).
    virtual void SetBadQuality() {}
    // False refuses a capture of the address.
    virtual bool CanCapture() { return true; }
    // Identification after creation or re-initialisation.
    virtual bool Init() { return true; }
    // Reads one variable from the device.
    virtual bool ReadItem(CDeviceItem* /*item*/) { return true; }
    virtual void SetErrorCount(int32_t n) { errors_.store(n); }
    // The device goes offline above 10.
    virtual int32_t GetErrorCount() { return errors_.load(); }
    virtual void IncErrorCount() { errors_.fetch_add(1); }
    virtual void SetCrcErrorCount(int32_t n) { crc_errors_.store(n); }
    virtual int32_t GetCrcErrorCount() { return crc_errors_.load(); }
    virtual void IncCrcErrorCount() { crc_errors_.fetch_add(1); }
    virtual void IncRequestCount() { requests_.fetch_add(1); }
    // Runs the oldest queued write (bus thread).
    virtual void ExecuteNextWrite();
    // Executes one write and reports it through SetWriteResult. Base: 1, nothing reported.
    virtual int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id);
    // Text of a device error value (OPC property 301).
    std::string DefineErrorText(int32_t /*value*/, plat::LCID /*lcid*/) override { return {}; }

    // --- variables ---
    // Makes the variable of one slot; the device keeps owning it. Base: a CVariable.
    // decisions FB-41
    virtual CDeviceItem* MakeVariable(ItemSlot& slot);
    // Detaches every variable the base made from the device, removes its item from the host
    // (pItemDestroy) and lets go of it; the slots among `slots` that held one are emptied. A
    // model whose variables ask it for error texts calls this in its own destructor, before
    // its part of the device is gone.
    void DestroyVariables(std::span<ItemSlot> slots = {});
    // For every named slot, in order: finds its parent branch, makes its variable, creates
    // its item in the host and sends the initial value. False when a parent is not found or
    // unusable, or a variable or item cannot be made; the slots before it stay created.
    bool CreateVariables(std::span<ItemSlot> slots);

    // --- IItemOwner: what its variables ask of the device ---
    uint8_t OwnerAddress() const override { return address_; }
    bool OwnerOffline() const override { return IsOffline(); }
    void MarkReadBack() override { AddReadBack(); }
    bool OnRealLine() const override { return port_ != nullptr && port_->IsRealPort(); }

    // --- writes ---
    // Host side: queues the write and flags the device for the scheduler.
    plat::HRESULT QueueWrite(CDeviceItem* item, const plat::Variant& value, int32_t& id) override;
    CWriteQueue& WriteQueue() { return queue_; }
    // Bus side, from WriteItem: folds the further queued writes of `item` into the one being
    // executed (the newest value and id win). The ids it replaces get the result that
    // SetWriteResult later reports for the surviving id.
    bool FoldWrites(CDeviceItem* item, plat::Variant& value, int32_t& id);
    // Reports a write's result, also to the writes folded into it.
    void SetWriteResult(int32_t id, int32_t result);

    // --- read-backs ---
    // Reads the first variable marked for read-back while read-backs are pending.
    void ReadItemFromDevice(std::span<ItemSlot> slots);
    // Every variable to quality 0 with the current time, and the device offline.
    void SetAllBad(std::span<ItemSlot> slots);

    // --- state kept for the port ---
    void SetReinit() { reinit_.store(1); }
    void ClearReinit() { reinit_.store(0); }
    bool NeedsReinit() const { return reinit_.load() != 0; }
    // UTC (FILETIME units) of the last answer and of the last try.
    void StampContact();
    void StampTry();
    uint64_t LastContact() const { return last_contact_.load(); }
    uint64_t LastTry() const { return last_try_.load(); }
    int32_t GetRequestCount() const { return requests_.load(); }
    int LastError() const { return last_error_.load(); }
    const std::string& Name() const { return name_; }
    void SetName(std::string name);
    const std::string& TypeName() const { return type_name_; }
    void SetTypeName(std::string type) { type_name_ = std::move(type); }
    // Report Slave ID answer: type code, run indicator, words 1 and 2.
    uint16_t type_code = 0;
    uint8_t run_indicator = 0;
    uint16_t id_word1 = 0;
    uint16_t id_word2 = 0;

    // --- typed register access; every request is counted, its code kept in LastError ---
    // size 1: the status byte (0x07); size 4: two registers (0x03), order 1 the first one high,
    // order 0 the four data bytes as a little-endian number, any other order 0; other sizes
    // one register. 0 on error.
    uint32_t ReadInteger(uint16_t reg, int size, int order);
    // `count` bytes of (count + 1) / 2 registers, high byte first; the text ends at the first
    // zero byte, one character per byte.
    int ReadString(uint16_t reg, size_t count, plat::WideString& out);
    int ReadBytes(uint16_t reg, size_t count, std::vector<uint8_t>& out);
    // 0x10; a device refusing with exception 0x48 gives -9.
    int WriteRegisters(uint16_t reg, std::span<const uint16_t> words);
    // The mirror of ReadInteger for sizes 4 (two registers) and others (one register).
    int WriteInteger(uint16_t reg, int32_t value, int size = 4, int order = 1);
    // Four registers, high word first.
    int WriteInt64(uint16_t reg, int64_t value);
    // `count` bytes of the text (zero-padded) into (count + 1) / 2 registers, high byte first.
    int WriteString(uint16_t reg, std::string_view bytes, size_t count);
    // By the value's type: integers up to 16 bits one register, 32-bit integers two, 64-bit
    // four, R4 (and R8 as R4) a register pair high word first, text its bytes.
    int WriteVariant(uint16_t reg, const plat::Variant& value);
    // Reads the variable by its raw type (I4, UI4, R4, BSTR, I8) and stores the sample with
    // quality 192, or quality 0 on error. Text variables read `text_bytes` bytes.
    int ReadVariable(CDeviceItem& item, size_t text_bytes = 16);

  protected:
    CLogFile* Log() const;
    const CHostCalls& Host() const { return host_; }

  private:
    // Counts one request's outcome and traces its error text.
    int Account(int code);
    template <class F>
    int Request(F&& f);

    uint8_t address_;
    IDevicePort* port_;
    const CHostCalls host_;
    std::atomic<uint8_t> remove_{0};
    std::atomic<uint8_t> redetect_{0};
    CWriteQueue queue_;
    // Variables the base made, each holding one reference (bus thread only).
    std::vector<CVariable*> variables_;
    // Ids folded into a surviving write, by the surviving id (bus thread only).
    std::map<int32_t, std::vector<int32_t>> folded_;
    // The write ExecuteNextWrite is running, until its result is reported.
    int32_t current_id_ = 0;
    bool current_open_ = false;
    // Where the next read-back search starts: one past the slot served last (bus thread only).
    size_t read_back_next_ = 0;
    std::string name_;
    std::string type_name_;
    std::atomic<uint64_t> last_contact_{0};
    std::atomic<uint64_t> last_try_{0};
    std::atomic<int32_t> reinit_{0};
    std::atomic<int32_t> errors_{0};
    std::atomic<int32_t> crc_errors_{0};
    std::atomic<int32_t> requests_{0};
    std::atomic<int> last_error_{0};
    CPerformanceCounter stopwatch_;
};

// --- conversions the models share ---
// 1234 -> 0x1234; digits beyond eight are dropped.
uint32_t ToBcd(uint32_t value);
// 0x1234 -> 1234; a nibble above 9 counts with its own value.
uint32_t FromBcd(uint32_t bcd);
// Keypad text: four characters a word, high nibble first; nibble 0 is '9', 1..9 are '0'..'8',
// 0xA is 'F', 0xB..0xF are 'A'..'E'.
std::string KeyText(std::span<const uint16_t> words);
// Upper-case hex, four digits a word, high byte first.
std::string HexWords(std::span<const uint16_t> words);
// Fixed-point text with '.' and `decimals` places (0..9).
std::string FloatText(double value, int decimals);
// Each float as a register pair: its high word first when `high_word_first`.
std::vector<uint16_t> FloatsToRegisters(std::span<const float> values, bool high_word_first);
// The text left-padded with '0' to `width` characters; longer texts stay as they are.
std::string PadZeros(std::string_view text, size_t width);

}  // namespace mb
