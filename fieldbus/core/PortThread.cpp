#include "fieldbus/core/PortThread.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "fieldbus/core/ComDevice.h"
#include "fieldbus/core/Convel.h"
#include "fieldbus/core/Icpcon.h"
#include "fieldbus/core/LogFile.h"
#include "platform/registry/registry.h"
#include "platform/serial/serial.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"

namespace mb {

namespace reg = plat::reg;

namespace {

std::atomic<OtherLineFactory> g_other_factory{nullptr};

constexpr long kOpenNotFound = 2;
constexpr long kOpenDenied = 5;
constexpr long kOpenInUse = 32;  // the platform's "in use" (sharing violation)

// A decimal registry subkey name; -1 when it is none.
int SubkeyAddress(const std::string& name) {
    if (name.empty() || name.size() > 4) return -1;
    int v = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string Format(const char* fmt, int value) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

// A board-bus or DCON port opened with the mode's baud and parity.
template <class Port>
class PortLine : public IOtherLine {
  public:
    explicit PortLine(CLogFile* log) : log_(log), port_(log) {}
    bool Open(int port, uint32_t baud, int parity, long& error) override {
        error = port_.Open(port, baud, static_cast<uint8_t>(parity));
        return error == plat::ERROR_SUCCESS;
    }
    bool IsOpen() override { return port_.IsOpen(); }

  protected:
    CLogFile* log_;
    Port port_;
};

// The board bus: a board is there when its link check is answered.
class ConvelLine final : public PortLine<CLocalConvel> {
  public:
    using PortLine::PortLine;
    int Probe(uint8_t address) override {
        const int code = port_.CheckLink(address);
        if (log_ != nullptr) log_->Trace("%s", CLocalConvel::GetErrorText(code).c_str());
        return code == convel::kOk ? kStateProbed : -1;
    }
    bool LinkTestOff() override { return !port_.FramedMode(); }
    CLocalConvel* Convel() override { return &port_; }
};

// DCON: a module is there when it answers the status query.
class IcpconLine final : public PortLine<CLocalICPCON> {
  public:
    using PortLine::PortLine;
    int Probe(uint8_t address) override {
        const int code = port_.CheckModule(address);
        if (log_ != nullptr && code != dcon::kOk)
            log_->Trace("%s", CLocalICPCON::GetErrorText(code).c_str());
        return code == dcon::kOk ? kStateProbed : -1;
    }
    CLocalICPCON* Icpcon() override { return &port_; }
};

}  // namespace

std::unique_ptr<IOtherLine> MakeOtherLine(int protocol, CLogFile* port_log) {
    switch (protocol) {
        case kProtocolBoardBus:
            return std::make_unique<ConvelLine>(port_log);
        case kProtocolDcon:
            return std::make_unique<IcpconLine>(port_log);
        default:
            return nullptr;
    }
}

// decisions FB-17
void SetOtherLineFactory(OtherLineFactory factory) {
    g_other_factory.store(factory);
}

CPortThread::CPortThread(const BusContext& context, int protocol, int port, uint32_t baud,
                         int parity, int shift, int32_t* status_cell, bool emulation,
                         const EmulatorSlot* emulator, const std::vector<DeviceModel>* models)
    : context_(context),
      protocol_(protocol),
      port_(port),
      baud_(baud),
      parity_(parity),
      shift_(shift),
      status_cell_(status_cell),
      emulation_(emulation),
      emulator_(emulator),
      models_(models != nullptr ? models : &DeviceModels()) {
    log_ = std::make_unique<CLogFile>(Format("NorvaltDrv%d.lg", port));
    modbus_ = std::make_unique<CPortModbus>(this, log_.get(), emulation);
    if (protocol != kProtocolModbus) {
        if (OtherLineFactory make = g_other_factory.load()) other_ = make(protocol, log_.get());
        if (!other_) other_ = MakeOtherLine(protocol, log_.get());
    }
    switch (protocol) {
        case kProtocolModbus:
            log_->Always("Протокол Modbus");
            max_address_ = 247;
            break;
        case kProtocolBoardBus:
            log_->Always("Протокол СНИИП-КОНВЭЛ");
            max_address_ = 10;
            break;
        case kProtocolDcon:
            log_->Always("Протокол ICP-CON(Fastwel)");
            max_address_ = 254;
            break;
        default:
            log_->Error("Неизвестный протокол");
            max_address_ = 247;
            break;
    }
    uint32_t echo = 0;
    if (reg::ReadDword(reg::Hive::LocalMachine, DevKey(), "ParameterEcho", echo) !=
        plat::ERROR_SUCCESS)
        echo = 0;
    echo_ = echo;
    modbus_->SetEcho(echo_ != 0);

    free_.clear();
    for (int a = 1; a <= max_address_; ++a) free_.push_back(static_cast<uint8_t>(a));
    captures_ = std::make_unique<std::atomic<int32_t>[]>(static_cast<size_t>(max_address_) + 1);
    ready_ = LinkCheck();
}

CPortThread::~CPortThread() {
    Stop();
    DropDevices();
    if (log_) log_->Info("{A09917C0-766A-40f0-9003-04262CD3952} %d", port_);
    modbus_.reset();
    other_.reset();
    log_.reset();
}

std::string CPortThread::DevKey() const {
    return std::string(kMbDevKey) + "\\COM" + std::to_string(port_);
}

bool CPortThread::Start() {
    if (thread_.joinable()) return true;
    log_->Info("{4783D5FC-A4B8-4390-82FA-08EB80B37F4D}");
    try {
        stop_.store(0);
        thread_ = std::thread([this] {
            plat::SetCurrentThreadPriority(plat::ThreadPriority::Highest);
            Body();
        });
    } catch (const std::exception&) {
        // decisions FB-13
        log_->Error("{03578590-E59A-436a-A0BB-A93C0CF99535}");
        return false;
    }
    return true;
}

void CPortThread::Stop() {
    stop_.store(1);
    if (thread_.joinable()) thread_.join();
}

void CPortThread::SetStatus(int32_t value) {
    if (status_cell_ != nullptr) std::atomic_ref<int32_t>(*status_cell_).store(value);
}

void CPortThread::PublishCount() {
    SetStatus(static_cast<int32_t>(devices_.Size()));
}

void CPortThread::LineStatus(int32_t status) {
    SetStatus(status);
}

bool CPortThread::Nap(int times, uint32_t ms) {
    for (int i = 0; i < times; ++i) {
        plat::Sleep(ms);
        if (Stopping()) return false;
    }
    return !Stopping();
}

// --- the line ---------------------------------------------------------------------------------

bool CPortThread::LinkCheck() {
    long error = 0;
    bool opened = false;
    if (protocol_ == kProtocolModbus) {
        modbus_->SetSilentTimeout(baud_ == 9600 && parity_ == 0 ? 50 : 25);
        modbus_->SetAnswerTimeout(200);
        modbus_->SetRetries(3);
        opened = modbus_->Open(port_, baud_, static_cast<uint8_t>(parity_), error);
    } else if (other_) {
        opened = other_->Open(port_, baud_, parity_, error);
    } else {
        log_->Error("COM%d: protocol %d has no line in this build", port_, protocol_);
        error = 1;
    }
    if (opened) {
        port_open_.store(1);
        open_error_ = 0;
        SetStatus(-1);
        return true;
    }
    switch (error) {
        case kOpenNotFound:
            SetStatus(-2);
            break;
        case kOpenDenied:
        case kOpenInUse:
            SetStatus(-3);
            break;
        case CPortModbus::kNoEmulator:
            SetStatus(-4);
            break;
        default:
            SetStatus(-1);
            break;
    }
    // A line that keeps failing is retried every 1.5 s: its lines come once per change of the
    // error. The error line names the cause (-3 is both "in use" and "access denied") and the
    // device, and is written from PROTOCOL=1 on.
    // decisions FB-67
    if (error != open_error_) {
        open_error_ = error;
        std::string device = "emulator";
        if (!emulation_) {
            device = plat::serial::ResolvePortName("COM" + std::to_string(port_));
            if (device.empty()) device = "(no device mapped)";
        }
        const char* cause = error == CPortModbus::kNoEmulator ? "no emulator registered"
                                                              : plat::serial::OpenErrorCause(error);
        log_->Error("COM%d: open %s failed: %s (%ld)", port_, device.c_str(), cause, error);
        log_->Warning("{8792CA08-49A8-4337-8628-C8764E82D7BC} №%d %i", port_, int(error));
    }
    port_open_.store(0);
    return error == kOpenDenied || error == kOpenInUse || error == CPortModbus::kNoEmulator;
}

bool CPortThread::LineOpen() {
    if (protocol_ == kProtocolModbus) return modbus_->IsOpen();
    return other_ && other_->IsOpen();
}

// --- the thread -------------------------------------------------------------------------------

void CPortThread::Body() {
    log_->Always("Идентификатор потока %X", plat::CurrentThreadId());
    for (;;) {
        while (port_open_.load() == 0) {
            if (Stopping()) return;
            LinkCheck();
            if (port_open_.load() != 0) break;
            // decisions FB-12
            if (!Nap(5, 300)) return;
        }
        if (Stopping()) return;
        SetStatus(0);
        ReloadDevices();
        if (!emulation_) system_ = MakeSystemDevice(this);
        LoopEnd end;
        try {
            end = ScanLoop();
        } catch (const std::exception&) {
            end = LoopEnd::kFault;
        } catch (...) {
            end = LoopEnd::kFault;
        }
        if (end == LoopEnd::kStopped) return;
        if (end == LoopEnd::kFault) {
            // The devices and the line are started afresh rather than the port going dead
            // while its status still shows devices.
            log_->Error("Exeption ScanDevice %X", static_cast<unsigned>(errno));
            DropDevices();
            SetStatus(0);
            if (protocol_ == kProtocolModbus) modbus_->Close();
            if (!Nap(5, 300)) return;
        }
        port_open_.store(0);
    }
}

CPortThread::LoopEnd CPortThread::ScanLoop() {
    const uint32_t now = plat::GetTickCount();
    free_probe_at_ = offline_probe_at_ = registry_at_ = now;
    while (!Stopping()) {
        if (!LineOpen()) {
            log_->Info("{26450B9C-E536-4836-8F3B-88DC28868358} %d", port_);
            DropDevices();
            return LoopEnd::kPortLost;
        }
        SystemScan();
        if (devices_.IsEmpty()) {
            force_search_ = 1;
            SearchPass();
            force_search_ = 0;
        }
        if (devices_.CountActive() == 0) plat::Sleep(5);
        CDevice* device = nullptr;
        // Nothing to poll but captured devices: the loop must not spin.
        if (devices_.PickNext(device) && device != nullptr && !ScanStep(device)) plat::Sleep(5);

        const uint32_t t = plat::GetTickCount();
        if (plat::TickDiff(t, offline_probe_at_) >= kOfflineProbePeriod) {
            offline_probe_at_ = t;
            ReprobeOffline();
        }
        if (plat::TickDiff(t, registry_at_) >= kRegistryPeriod) {
            registry_at_ = t;
            RegistryPass();
        }
        if (plat::TickDiff(t, free_probe_at_) >= kFreeProbePeriod) {
            free_probe_at_ = t;
            FreeProbe();
        }
        if (context_.host.SearchWanted()) SearchPass();
    }
    return LoopEnd::kStopped;
}

void CPortThread::SystemScan() {
    if (system_) system_->Scan();
}

bool CPortThread::ScanStep(CDevice* device) {
    const uint8_t address = device->GetAddress();
    // A client holds the device read-write: its traffic is the client's, and a poll would
    // turn the variables the capture set bad good again.
    if (CaptureCount(address) > 0) return false;
    device->Scan();
    if (device->GetErrorCount() > 10) {
        device->SetState(kStateOffline);
        device->StampContact();
        device->SetBadQuality();
    } else if (device->IsMarkedForRemoval()) {
        // A device that moved itself to another address is looked for there.
        const uint8_t again = device->RedetectAddress();
        RemoveDevice(device);
        if (again != address && again >= 1 && again <= max_address_) DeleteEntries(address);
        if (Probe(again, 3) == kStateProbed) {
            if (auto found = Detect(again)) {
                TakeAddress(again);
                AddDevice(std::move(found), kStateProbed);
            }
        }
    }
    return true;
}

void CPortThread::ReprobeOffline() {
    CDevice* device = nullptr;
    if (!devices_.PickOffline(device) || device == nullptr) return;
    const uint8_t address = device->GetAddress();
    log_->Info("{B58036F8-3D55-4898-8120-28089357529C} №%i", address);
    if (CaptureCount(address) != 0) return;
    if (Probe(address, 2) == kStateProbed) {
        device->SetState(kStateProbed);
        device->SetErrorCount(0);
        device->SetReinit();
        return;
    }
    device->StampTry();
    if (device->IsMarkedForRemoval()) RemoveDevice(device);
}

void CPortThread::RegistryPass() {
    log_->Info("{61F26F8E-8FBC-4282-A85A-C00A1CF841CA}");
    std::vector<std::string> names;
    reg::EnumSubKeys(reg::Hive::LocalMachine, DevKey(), names);
    if (names.empty()) {
        log_->Info("{B3008702-CB66-4710-98A6-860017EC077D}");
        registry_index_ = 0;
        return;
    }
    if (registry_index_ >= names.size()) registry_index_ = 0;
    uint32_t number = 0;
    // An entry that cannot be read is passed over: stopping at it would starve the rest.
    if (reg::ReadDword(reg::Hive::LocalMachine, DevKey() + "\\" + names[registry_index_], "Number",
                       number) == plat::ERROR_SUCCESS &&
        number >= 1 && number <= static_cast<uint32_t>(max_address_)) {
        auto it = std::find(free_.begin(), free_.end(), static_cast<uint8_t>(number));
        if (it != free_.end()) FreeTry(static_cast<size_t>(it - free_.begin()));
    }
    if (++registry_index_ >= names.size()) registry_index_ = 0;
}

void CPortThread::FreeProbe() {
    log_->Info("{BE0D1C9E-5D79-4027-9553-62610C43ACF7}");
    if (free_.empty()) return;
    if (next_free_ >= free_.size()) next_free_ = 0;
    if (FreeTry(next_free_) != 0) ++next_free_;
    if (next_free_ >= free_.size()) next_free_ = 0;
}

void CPortThread::SearchPass() {
    if (Stopping()) return;
    const uint32_t saved = modbus_->GetAnswerTimeout();
    if (protocol_ == kProtocolModbus) modbus_->SetAnswerTimeout(100);
    try {
        size_t index = 0;
        while (!Stopping() && (context_.host.SearchWanted() || force_search_ != 0)) {
            SystemScan();
            if (!LineOpen()) break;
            if (free_.empty()) {
                log_->Info("{75AF2AFF-C32B-4298-8D0E-4DF1420A3434} %i",
                           info_cell_ ? std::atomic_ref<int32_t>(*info_cell_).load() : 0);
                break;
            }
            if (index >= free_.size()) {
                log_->Info("{4A412CAC-9028-49d9-9CFB-F1F2E942E093} %i",
                           info_cell_ ? std::atomic_ref<int32_t>(*info_cell_).load() : 0);
                if (!Stopping() && info_cell_ != nullptr)
                    std::atomic_ref<int32_t>(*info_cell_).fetch_add(1);
                index = 0;
                continue;
            }
            const uint8_t address = free_[index];
            if (FreeTry(index) == 0) {
                if (force_search_ != 0) break;
                continue;  // the list shrank: the index names the next address already
            }
            if (context_.host.SearchWanted()) DeleteEntries(address);
            ++index;
        }
    } catch (...) {
        log_->Error("{B70D799E-31F7-431a-824D-085C1D6541A3}");
    }
    if (protocol_ == kProtocolModbus) modbus_->SetAnswerTimeout(saved);
    if (!Stopping()) PublishCount();
}

// --- devices ----------------------------------------------------------------------------------

void CPortThread::ReloadDevices() {
    std::vector<std::string> names;
    reg::EnumSubKeys(reg::Hive::LocalMachine, DevKey(), names);
    for (const std::string& name : names) {
        if (Stopping()) return;
        const std::string key = DevKey() + "\\" + name;
        uint32_t number = 0;
        std::string dev_name, type;
        if (reg::ReadDword(reg::Hive::LocalMachine, key, "Number", number) != plat::ERROR_SUCCESS ||
            number == 0 || number > static_cast<uint32_t>(max_address_) ||
            reg::ReadString(reg::Hive::LocalMachine, key, "Name", dev_name) !=
                plat::ERROR_SUCCESS ||
            reg::ReadString(reg::Hive::LocalMachine, key, "Type", type) != plat::ERROR_SUCCESS ||
            dev_name.size() > 256 || type.size() > 256) {
            log_->Warning("MBDev entry %s dropped", name.c_str());
            reg::DeleteKeyTree(reg::Hive::LocalMachine, key);
            continue;
        }
        const uint8_t address = static_cast<uint8_t>(number);
        if (Probe(address, 3) != kStateProbed) continue;  // remembered, tried again later
        const bool known = std::any_of(models_->begin(), models_->end(), [&](const DeviceModel& m) {
            // decisions FB-14
            return m.protocol == protocol_ && m.reloadable && type == m.type_name;
        });
        if (!known) {
            log_->Warning("MBDev entry %s: type %s is not reloaded", name.c_str(), type.c_str());
            reg::DeleteKeyTree(reg::Hive::LocalMachine, key);
            continue;
        }
        if (auto device = Detect(address)) AddDevice(std::move(device), kStateProbed);
        TakeAddress(address);
    }
}

int CPortThread::FreeTry(size_t index) {
    if (index >= free_.size()) return -1;
    const uint8_t address = free_[index];
    if (Probe(address, 1) != kStateProbed) return -1;
    auto device = Detect(address);
    if (!device) return -1;
    TakeAddress(address);
    AddDevice(std::move(device), kStateFound);
    return 0;
}

int CPortThread::Probe(uint8_t address, int tries) {
    if (CaptureCount(address) != 0) return -1;
    if (protocol_ != kProtocolModbus) {
        log_->Trace(protocol_ == kProtocolBoardBus ? "{7CC6BBC1-6350-4407-9DB4-C0D05F153909} №%d"
                                                   : "{8D5697FF-8454-4921-B978-7A82DB79736C} №%d",
                    address);
        return other_ ? other_->Probe(address) : -1;
    }
    const uint16_t saved = modbus_->GetRetries();
    modbus_->SetRetries(static_cast<uint16_t>(std::max(tries, 1)));
    log_->Trace("{5EBD45E1-571D-4bb8-889E-5311C7BADA1F} №%d", address);
    uint8_t status = 0;
    const int code = modbus_->ReadExceptionStatus(address, status);
    modbus_->SetRetries(saved);
    if (code != kMbOk) log_->Trace("%s", modbus_->GetErrorText(code).c_str());
    if (code == kMbOk) return kStateProbed;
    if (baud_ == 9600 && parity_ == 0 && IsDeviceException(code)) return kStateProbed;
    return -1;
}

const DeviceModel* CPortThread::FindModel(int32_t type_code, bool plain) const {
    for (const DeviceModel& m : *models_) {
        if (m.protocol != protocol_) continue;
        if (protocol_ == kProtocolModbus) {
            if (m.plain_9600 != plain) continue;
            if (!plain && m.type_code != -1 && m.type_code != type_code) continue;
        }
        return &m;
    }
    return nullptr;
}

std::unique_ptr<CDevice> CPortThread::Detect(uint8_t address) {
    plat::Sleep(100);
    DetectedDevice found;
    found.address = address;
    const DeviceModel* model = nullptr;
    int32_t type_code = -1;
    if (protocol_ == kProtocolBoardBus) {
        if (other_ && other_->LinkTestOff() && !devices_.IsEmpty()) return nullptr;
        model = FindModel(-1, false);
    } else if (protocol_ != kProtocolModbus) {
        model = FindModel(-1, false);
    } else if (baud_ == 9600 && parity_ == 0) {
        model = FindModel(-1, true);
    } else {
        const int code = modbus_->ReportSlaveId(address, found.id_words);
        if (code != kMbOk || found.id_words.empty()) {
            log_->Trace("%s", modbus_->GetErrorText(code).c_str());
            return nullptr;
        }
        type_code = found.id_words[0] >> 8;
        model = FindModel(type_code, false);
    }
    if (model == nullptr || model->make == nullptr) {
        log_->Warning("COM%d №%d: no device model for type code 0x%X", port_, address,
                      static_cast<unsigned>(type_code));
        return nullptr;
    }
    std::unique_ptr<CDevice> device;
    try {
        device = model->make(this, found);
    } catch (...) {
        log_->Error("{C593FB94-9321-44f3-8C7F-B9869BB42EA2} %i", shift_ + address);
        return nullptr;
    }
    if (!device) return nullptr;
    char name[128];
    std::snprintf(name, sizeof name, model->name_format, shift_ + address);
    device->SetName(name);
    device->SetTypeName(model->type_name);
    if (type_code >= 0) {
        const auto& w = found.id_words;
        device->type_code = static_cast<uint16_t>(type_code);
        device->run_indicator = static_cast<uint8_t>(w[0] & 0xFF);
        device->id_word1 = w.size() > 1 ? w[1] : 0;
        device->id_word2 = w.size() > 2 ? w[2] : 0;
    }
    Remember(address, *device);
    return device;
}

void CPortThread::DeleteEntries(uint8_t address) {
    std::vector<std::string> names;
    reg::EnumSubKeys(reg::Hive::LocalMachine, DevKey(), names);
    for (const std::string& name : names)
        if (SubkeyAddress(name) == address)
            reg::DeleteKeyTree(reg::Hive::LocalMachine, DevKey() + "\\" + name);
}

void CPortThread::Remember(uint8_t address, const CDevice& device) {
    DeleteEntries(address);
    const std::string key = DevKey() + "\\" + std::to_string(address);
    if (reg::CreateKey(reg::Hive::LocalMachine, key) != plat::ERROR_SUCCESS) {
        log_->Warning("{C9BE46F4-DE1E-4159-80BA-7CD523F5C1DE} %s", key.c_str());
        SetStatus(static_cast<int32_t>(devices_.Size()) + 1);
        return;
    }
    log_->Trace("HKEY_LOCAL_MACHINE Create %s", key.c_str());
    if (reg::WriteDword(reg::Hive::LocalMachine, key, "Number", address) != plat::ERROR_SUCCESS)
        log_->Warning("{E6C0E85E-D8A1-4731-AB0B-110E80885EBC} %s", key.c_str());
    else
        log_->Trace("HKEY_LOCAL_MACHINE SetDWORDValue");
    if (reg::WriteString(reg::Hive::LocalMachine, key, "Name", device.Name()) !=
        plat::ERROR_SUCCESS)
        log_->Warning("{DACCF420-7E15-4d93-B4AB-904A743A09F4} %s", key.c_str());
    if (reg::WriteString(reg::Hive::LocalMachine, key, "Type", device.TypeName()) !=
        plat::ERROR_SUCCESS)
        log_->Warning("{245C6281-943C-45b7-B2FD-0699D331B875} %s", key.c_str());
    // Published once the entry is written, so that a count seen means a device remembered.
    SetStatus(static_cast<int32_t>(devices_.Size()) + 1);
}

void CPortThread::AddDevice(std::unique_ptr<CDevice> device, int32_t state) {
    device->SetState(state);
    devices_.Add(std::move(device));
    PublishCount();
}

bool CPortThread::AdoptDevice(CDevice* device) {
    if (device == nullptr) return false;
    const bool added = devices_.Add(std::unique_ptr<CDevice>(device));
    if (added) PublishCount();
    return added;
}

std::unique_ptr<CDevice> CPortThread::ReleaseDevice(CDevice* device) {
    std::unique_ptr<CDevice> out = devices_.Remove(device);
    if (out) PublishCount();
    return out;
}

// decisions FB-15
void CPortThread::MoveAddress(uint8_t from, uint8_t to) {
    if (to < 1 || to > max_address_ || from == to) return;
    TakeAddress(to);
    if (from >= 1 && from <= max_address_ && !IsFreeAddress(from))
        free_.insert(std::upper_bound(free_.begin(), free_.end(), from), from);
    DeleteEntries(from);
    // The remembered device is the one detection made (a unit's posts share its address
    // but have no registry type).
    for (size_t i = 0; i < devices_.Size(); ++i) {
        const CDevice* d = devices_.At(i);
        if (d->GetAddress() == from && !d->TypeName().empty()) {
            Remember(to, *d);
            break;
        }
    }
    PublishCount();
}

void CPortThread::RemoveDevice(CDevice* device) {
    const uint8_t address = device->GetAddress();
    devices_.Remove(device);  // destroyed here
    if (address >= 1 && address <= max_address_ &&
        std::find(free_.begin(), free_.end(), address) == free_.end())
        free_.insert(std::upper_bound(free_.begin(), free_.end(), address), address);
    PublishCount();
}

void CPortThread::TakeAddress(uint8_t address) {
    auto it = std::find(free_.begin(), free_.end(), address);
    if (it != free_.end()) free_.erase(it);
}

bool CPortThread::IsFreeAddress(uint8_t address) {
    return std::find(free_.begin(), free_.end(), address) != free_.end();
}

void CPortThread::DropDevices() {
    system_.reset();
    devices_.DeleteAll();
    free_.clear();
    for (int a = 1; a <= max_address_; ++a) free_.push_back(static_cast<uint8_t>(a));
    next_free_ = 0;
}

// --- captures ---------------------------------------------------------------------------------

int32_t CPortThread::CaptureCount(uint8_t address) {
    if (address < 1 || address > max_address_) return 0;
    return captures_[address].load();
}

int CPortThread::Capture(uint8_t address, bool read_write) {
    if (address < 1 || address > max_address_) {
        log_->Warning("Capture of address %d refused: outside 1..%d", address, max_address_);
        return HostCode(WriteResult::kCaptureRefused);
    }
    const int32_t count = captures_[address].load();
    if (!read_write && count > 0) {
        log_->Warning("Error Capture READ_ONLY");
        return HostCode(WriteResult::kCaptureRefused);
    }
    if (read_write && count < 0) {
        log_->Warning("Error Capture READWRITE");
        return HostCode(WriteResult::kCaptureRefused);
    }
    CDevice* device = devices_.FindByAddress(address);
    if (device != nullptr && !device->CanCapture()) return HostCode(WriteResult::kCaptureRefused);
    if (read_write && device != nullptr) {
        device->StampContact();
        device->SetBadQuality();
    }
    captures_[address].fetch_add(read_write ? 1 : -1);
    return 0;
}

int CPortThread::Release(uint8_t address) {
    if (address > max_address_) return 0;
    for (int a = 1; a <= max_address_; ++a) {
        if (address != 0 && a != address) continue;
        const int32_t count = captures_[a].load();
        if (count == 0) continue;
        if (count < 0) {
            captures_[a].fetch_add(1);
            break;
        }
        if (captures_[a].fetch_sub(1) == 1) {
            if (CDevice* device = devices_.FindByAddress(static_cast<uint8_t>(a))) {
                device->SetState(kStateFound);
                device->SetReinit();
            }
            log_->Info("Release device %d", a);
        }
    }
    return 0;
}

}  // namespace mb
