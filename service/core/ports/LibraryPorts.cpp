#include "service/core/ports/LibraryPorts.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/ModbusLibrary.h"
#include "service/core/ports/PortStatus.h"

namespace drv {

namespace {

// The port's slot of the emulator table: a port in emulation mode reaches the emulator that a
// client registers for its number.
void* TableSlot(int com_number) {
    return const_cast<mb::EmulatorSlot*>(EmulatorSlotFor(com_number));
}
std::atomic<EmulatorSlotFn> g_emulator_slot{&TableSlot};

// The slave library's binding. One lock covers the module, its entry points and the use count,
// and is held across InitThread and DeleteThread: a port being freed must not unload the
// library while another one is starting in it.
struct SlaveBinding {
    std::mutex lock;
    std::string path_override;
    void* module = nullptr;
    SlaveInitThreadFn init = nullptr;
    SlaveDeleteThreadFn remove = nullptr;
    int uses = 0;
};

SlaveBinding& Slave() {
    static SlaveBinding* b = new SlaveBinding;  // never destroyed: ports may outlive statics
    return *b;
}

std::string PathLocked(SlaveBinding& b) {
    if (!b.path_override.empty()) return b.path_override;
    const char* env = std::getenv(kSlaveLibraryEnv);
    if (env != nullptr && *env != '\0') return env;
    return ExecutableFolder() + "/" + kSlaveLibraryName;
}

bool LoadLocked(SlaveBinding& b) {
    if (b.module != nullptr) return true;
    const std::string path = PathLocked(b);
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* e = ::dlerror();
        WriteProtocolLine("Slave library not loaded: " + std::string(e != nullptr ? e : path),
                          PL_EXTERNAL);
        return false;
    }
    auto init = reinterpret_cast<SlaveInitThreadFn>(::dlsym(module, "InitThread"));
    auto remove = reinterpret_cast<SlaveDeleteThreadFn>(::dlsym(module, "DeleteThread"));
    if (init == nullptr || remove == nullptr) {
        WriteProtocolLine("Slave library " + path + " lacks InitThread or DeleteThread",
                          PL_EXTERNAL);
        ::dlclose(module);
        return false;
    }
    b.module = module;
    b.init = init;
    b.remove = remove;
    return true;
}

void UnloadLocked(SlaveBinding& b) {
    if (b.uses != 0 || b.module == nullptr) return;
    b.init = nullptr;
    b.remove = nullptr;
    ::dlclose(b.module);
    b.module = nullptr;
}

}  // namespace

// --- the field-bus library's ports -----------------------------------------------------------

TModbusThread::TModbusThread(int index, int shift, const std::string& word) : index_(index) {
    const int com = index + 1;
    SetPortStatusCell(index, kPortNotOpen);
    SetPortInfoCell(index, 0);
    WriteProtocolLine("Modbus thread create " + std::to_string(com) + " " + word, PL_INFO);
    const ModbusExports* lib = ModbusLibrary();
    if (lib == nullptr) return;  // the library's own load failure is logged already
    const EmulatorSlotFn slot = g_emulator_slot.load();
    handle_ = lib->create_thread(com, word.c_str(), shift, PortStatusCellAddress(index),
                                 PortInfoCellAddress(index), slot != nullptr ? slot(com) : nullptr);
}

TModbusThread::~TModbusThread() {
    if (handle_ == nullptr) return;
    if (const ModbusExports* lib = ModbusLibrary()) lib->destroy_thread(handle_);
}

int TModbusThread::PostCount() const {
    const int32_t s = PortStatus(index_);
    return s > 0 ? s : 0;
}

// --- the slave library's ports ---------------------------------------------------------------

TVelsarnThread::TVelsarnThread(int index, const std::string& word) : index_(index) {
    const int com = index + 1;
    WriteProtocolLine("Modbus slave thread create " + std::to_string(com) + " " + word, PL_INFO);
    SetPortStatusCell(index, kPortNotOpen);
    SetPortInfoCell(index, 0);
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    if (!LoadLocked(b)) {
        SetPortStatusCell(index, kPortNoSlaveLibrary);
        return;
    }
    const std::u16string protocol = plat::Utf8ToWide(word);
    try {
        handle_ = b.init(com, protocol.c_str(), PortStatusCellAddress(index));
    } catch (...) {
        ProtocolCurrentException("InitThread COM" + std::to_string(com));
        handle_ = nullptr;
    }
    // Only a thread that runs uses the library; one that did not start must not keep it loaded.
    if (handle_ != nullptr)
        ++b.uses;
    else
        UnloadLocked(b);
}

TVelsarnThread::~TVelsarnThread() {
    if (handle_ == nullptr) return;
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    try {
        if (b.remove != nullptr) b.remove(handle_);
    } catch (...) {
        ProtocolCurrentException("DeleteThread COM" + std::to_string(index_ + 1));
    }
    if (b.uses > 0) --b.uses;
    UnloadLocked(b);
}

int TVelsarnThread::PostCount() const {
    const int32_t s = PortStatus(index_);
    return s > 0 ? s : 0;
}

std::string SlaveLibraryPath() {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    return PathLocked(b);
}

void SetSlaveLibraryPath(const std::string& path) {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    b.path_override = path;
}

bool LoadSlaveLibrary() {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    return LoadLocked(b);
}

void UnloadSlaveLibrary() {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    UnloadLocked(b);
}

// decisions CORE-43
int SlaveLibraryUseCount() {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    return b.uses;
}

bool SlaveLibraryLoaded() {
    SlaveBinding& b = Slave();
    std::lock_guard<std::mutex> lk(b.lock);
    return b.module != nullptr;
}

// --- registration ----------------------------------------------------------------------------

// decisions CORE-45
void SetEmulatorSlotSource(EmulatorSlotFn fn) {
    g_emulator_slot.store(fn);
}

std::unique_ptr<TPortObject> MakeModbusPort(const PortStartInfo& info) {
    return std::make_unique<TModbusThread>(info.index, info.shift, info.word);
}

std::unique_ptr<TPortObject> MakeSlaveLibraryPort(const PortStartInfo& info) {
    return std::make_unique<TVelsarnThread>(info.index, info.word);
}

}  // namespace drv
