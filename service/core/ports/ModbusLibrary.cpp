#include "service/core/ports/ModbusLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "service/core/items/ExternalItems.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::mutex g_lock;
std::string g_path_override;
bool g_tried = false;
ModbusExports g_exports;
bool g_loaded = false;

// dlerror's text for the log; empty when there is none.
std::string LoaderError() {
    const char* e = ::dlerror();
    return e != nullptr ? e : "";
}

bool Load(const std::string& path, ModbusExports& out) {
    // RTLD_NOW: a symbol the program does not provide fails here, with its name, instead of
    // ending the process at the first call that needs it.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        WriteProtocolLine(
            "Modbus library not loaded: " + LoaderError() + "; field-bus ports stay closed",
            PL_CRITICAL);
        return false;
    }
    ModbusExports e;
    e.initialize = reinterpret_cast<mb::MBInitializeFn>(::dlsym(handle, "MBInitialize"));
    e.create_thread = reinterpret_cast<mb::MBCreateThreadFn>(::dlsym(handle, "MBCreateThread"));
    e.destroy_thread = reinterpret_cast<mb::MBDestroyThreadFn>(::dlsym(handle, "MBDestroyThread"));
    e.finalize = reinterpret_cast<mb::MBFinalizeFn>(::dlsym(handle, "MBFinalize"));
    if (!e.initialize || !e.create_thread || !e.destroy_thread || !e.finalize) {
        WriteProtocolLine(
            "Modbus library " + path + " lacks an export; field-bus ports stay closed",
            PL_CRITICAL);
        ::dlclose(handle);
        return false;
    }
    const mb::HostCallbacks& t = HostCallbackTable();
    const uint8_t rc =
        e.initialize(t.pItemFind, t.pItemCreate, t.pItemDestroy, t.pParentCreate, t.pCmdNewID,
                     t.pCmdSetResult, t.pCmdIsCancelled, t.pNewSample, t.pUpdateTS, t.pSearchFlag);
    WriteProtocolLine("Modbus library " + path + " MBInitialize " + std::to_string(rc), PL_INFO);
    // The module stays loaded for the life of the process: its threads and items refer to it.
    out = e;
    return true;
}

}  // namespace

std::string ExecutableFolder() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string ModbusLibraryPath() {
    {
        std::lock_guard<std::mutex> lk(g_lock);
        if (!g_path_override.empty()) return g_path_override;
    }
    const char* env = std::getenv(kModbusLibraryEnv);
    if (env != nullptr && *env != '\0') return env;
    return ModbusLibraryNear(ExecutableFolder());
}

std::string ModbusLibraryNear(const std::string& exe_folder) {
    const std::string beside = exe_folder + "/" + kModbusLibraryName;
    struct stat st {};
    if (::stat(beside.c_str(), &st) == 0) return beside;
    const std::filesystem::path inside =
        std::filesystem::path(exe_folder) / kModbusLibraryFolder / kModbusLibraryName;
    return inside.lexically_normal().string();
}

void SetModbusLibraryPath(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_path_override = path;
}

bool LoadModbusLibrary() {
    const std::string path = ModbusLibraryPath();
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_tried) return g_loaded;
    g_tried = true;
    g_loaded = Load(path, g_exports);
    return g_loaded;
}

const ModbusExports* ModbusLibrary() {
    std::lock_guard<std::mutex> lk(g_lock);
    return g_loaded ? &g_exports : nullptr;
}

void ResetModbusLibraryForTests() {
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_loaded) g_exports.finalize();
    g_exports = ModbusExports{};
    g_loaded = false;
    g_tried = false;
}

}  // namespace drv
