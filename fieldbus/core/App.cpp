#include "fieldbus/core/App.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/PortThread.h"
#include "platform/registry/registry.h"
#include "platform/types/wstr.h"

namespace mb {

namespace {

// The port manager's reading of one key, repeated here since the library does not link the
// service: KEY= counts at the start or after a blank, keys compare without case, the first pair
// wins, the value runs to the next blank and at most 20 characters of it count.
std::string_view ParamValue(std::string_view text, std::string_view key) {
    const std::string upper = plat::AsciiUpper(text);
    const std::string pattern = plat::AsciiUpper(key) + "=";
    for (size_t pos = upper.find(pattern); pos != std::string::npos;
         pos = upper.find(pattern, pos + 1)) {
        if (pos != 0 && text[pos - 1] != ' ') continue;
        std::string_view v = text.substr(pos + pattern.size());
        v = v.substr(0, std::min<size_t>(v.size(), 20));
        return v.substr(0, v.find(' '));
    }
    return {};
}

bool AllowedBaud(long baud) {
    switch (baud) {
        case 9600:
        case 19200:
        case 38400:
        case 56000:
        case 57600:
        case 115200:
        case 128000:
        case 256000:
            return true;
        default:
            return false;
    }
}

void SetCell(int32_t* cell, int32_t value) {
    if (cell != nullptr) std::atomic_ref<int32_t>(*cell).store(value);
}

}  // namespace

int32_t FlatPostsFromParameters(std::string_view parameters) {
    return ParamValue(parameters, "FLATPOSTS") == "0" ? 0 : 1;
}

const char* ModeErrorTag(ModeError error) {
    switch (error) {
        case ModeError::kProtocol:
            return "{AD88A6C0-E17C-4a7c-AB0E-C68876DC185B}";
        case ModeError::kParity:
            return "{053E46E0-D1B6-4b74-931D-E4108E1E5DF2}";
        case ModeError::kBaud:
            return "{BFEB2CBF-8318-4218-B753-F5F679A345ED}";
        case ModeError::kNone:
            break;
    }
    return "";
}

ModeError ParseMode(const char* mode, PortMode& out) {
    out = PortMode{};
    if (mode == nullptr) mode = "";
    switch (mode[0]) {
        case 'M':
            out.protocol = 0;
            break;
        case 'T':
            out.protocol = 1;
            break;
        case 'I':
            out.protocol = 2;
            break;
        default:
            return ModeError::kProtocol;
    }
    switch (mode[1]) {
        case 'E':
            out.parity = 2;
            break;
        case 'N':
            out.parity = 0;
            break;
        default:
            return ModeError::kParity;
    }
    // atoi's reading, without its undefined overflow: an out-of-range number is just not a rate.
    errno = 0;
    const long baud = std::strtol(mode + 2, nullptr, 10);
    if (errno == ERANGE || !AllowedBaud(baud)) return ModeError::kBaud;
    out.baud = static_cast<int32_t>(baud);
    const size_t length = std::strlen(mode);
    out.emulation = length >= 4 && mode[length - 1] == 'E';
    return ModeError::kNone;
}

// --- the application ---------------------------------------------------------------------------

CModbusApp::CModbusApp() = default;

CModbusApp::~CModbusApp() {
    delete log_.exchange(nullptr);
}

uint8_t CModbusApp::Initialize(const HostCallbacks& table) {
    std::lock_guard<std::mutex> lk(lifecycle_);
    if (Initialized()) {
        if (CLogFile* log = Log())
            log->Warning("MBInitialize again: the first host table and log stay in use");
        ReadFlatPosts();
        return 1;
    }
    table_ = table;
    CLogFile* log = Log();
    if (log == nullptr) {
        log = new CLogFile(kLibraryLogName);
        log_.store(log, std::memory_order_release);
    }
    log->Info("{4AE1006B-D3CB-43c6-BB11-EF6C2FCE342E}");
    ReadFlatPosts();
    initialized_.store(true, std::memory_order_release);
    return 1;
}

void CModbusApp::Finalize() {
    std::lock_guard<std::mutex> lk(lifecycle_);
    CLogFile* log = Log();
    if (log != nullptr) log->Info("{3E94850B-7EFF-4d0f-B18E-CBD1F6FD9112}");
    const int32_t live = LiveBusThreads();
    if (live > 0) {
        // Their ports, devices and the host's items still use the log and the table.
        if (log != nullptr)
            log->Warning("MBFinalize with %d bus threads running: the library log stays open",
                         static_cast<int>(live));
        return;
    }
    // The table stays as it is: a host call already under way may still be reading it.
    initialized_.store(false, std::memory_order_release);
    delete log_.exchange(nullptr);
}

bool CModbusApp::SearchWanted() const {
    return Calls().SearchWanted();
}

int32_t CModbusApp::ReadFlatPosts() {
    std::string parameters;
    const long rc = plat::reg::ReadString(plat::reg::Hive::LocalMachine, kSettingsKey,
                                          kSettingsValue, parameters);
    if (rc != plat::ERROR_SUCCESS) parameters.clear();
    const int32_t flat = FlatPostsFromParameters(parameters);
    flat_posts_.store(flat);
    return flat;
}

CHostCalls CModbusApp::Calls() const {
    return CHostCalls(Initialized() ? &table_ : nullptr, Log());
}

BusContext CModbusApp::NewBusContext() {
    BusContext context;
    context.host = Calls();
    context.flat_posts = ReadFlatPosts() != 0;
    return context;
}

bool CModbusApp::ItemFind(const char16_t* name, int16_t& is_leaf, int32_t& parent, int32_t& handle,
                          CLogFile* log) const {
    return Calls().ItemFind(name, is_leaf, parent, handle, log);
}

bool CModbusApp::ItemCreate(IModbusItem* item, const char16_t* name, plat::VARTYPE vt,
                            uint8_t access, int32_t parent, const char* description,
                            int32_t& handle, CLogFile* log) const {
    return Calls().ItemCreate(item, name, vt, access, parent, description, handle, log);
}

bool CModbusApp::ItemDestroy(int32_t handle, CLogFile* log) const {
    return Calls().ItemDestroy(handle, log);
}

bool CModbusApp::ParentCreate(const char16_t* name, int32_t parent, int32_t& handle,
                              CLogFile* log) const {
    return Calls().ParentCreate(name, parent, handle, log);
}

bool CModbusApp::CmdNewID(int32_t& id, CLogFile* log) const {
    return Calls().CmdNewID(id, log);
}

bool CModbusApp::CmdSetResult(int32_t id, int32_t result, CLogFile* log) const {
    return Calls().CmdSetResult(id, result, log);
}

bool CModbusApp::CmdIsCancelled(int32_t id, CLogFile* log) const {
    return Calls().CmdIsCancelled(id, log);
}

bool CModbusApp::NewSample(int32_t handle, const plat::Variant& value, uint16_t quality,
                           const plat::FILETIME& time, CLogFile* log) const {
    return Calls().NewSample(handle, value, quality, time, log);
}

bool CModbusApp::UpdateTS(int32_t handle, const plat::FILETIME& time, CLogFile* log) const {
    return Calls().UpdateTS(handle, time, log);
}

CModbusApp& App() {
    static CModbusApp app;
    return app;
}

}  // namespace mb

// --- exports -------------------------------------------------------------------------------------
// Nothing may escape a C boundary: each export catches everything and reports it.

using mb::App;
using mb::CLogFile;

namespace {

// Before MBInitialize there is no library log; such calls are reported on stderr once.
void ReportUninitialised(const char* what) {
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
        std::fprintf(stderr, "modbus: %s before MBInitialize is refused\n", what);
}

}  // namespace

extern "C" uint8_t MBInitialize(mb::PItemFind item_find, mb::PItemCreate item_create,
                                mb::PItemDestroy item_destroy, mb::PParentCreate parent_create,
                                mb::PCmdNewID cmd_new_id, mb::PCmdSetResult cmd_set_result,
                                mb::PCmdIsCancelled cmd_is_cancelled, mb::PNewSample new_sample,
                                mb::PUpdateTS update_ts, const mb::SearchFlag* search_flag) {
    try {
        mb::HostCallbacks table;
        table.pItemFind = item_find;
        table.pItemCreate = item_create;
        table.pItemDestroy = item_destroy;
        table.pParentCreate = parent_create;
        table.pCmdNewID = cmd_new_id;
        table.pCmdSetResult = cmd_set_result;
        table.pCmdIsCancelled = cmd_is_cancelled;
        table.pNewSample = new_sample;
        table.pUpdateTS = update_ts;
        table.pSearchFlag = search_flag;
        return App().Initialize(table);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modbus: MBInitialize: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "modbus: MBInitialize failed\n");
    }
    return 1;
}

namespace {

// The bus threads handed out and not yet given back: MBDestroyThread frees only these.
std::mutex g_threads_mutex;
std::set<mb::CPortThread*> g_threads;

}  // namespace

extern "C" void* MBCreateThread(int32_t port, const char* mode, int32_t shift, int32_t* status_cell,
                                int32_t* info_cell, void* emulator_slot) {
    try {
        if (!App().Initialized()) {
            mb::SetCell(status_cell, -1);
            ReportUninitialised("MBCreateThread");
            return nullptr;
        }
        CLogFile* log = App().Log();
        mb::PortMode parsed;
        const mb::ModeError error = mb::ParseMode(mode, parsed);
        if (error != mb::ModeError::kNone) {
            mb::SetCell(status_cell, -1);
            if (log != nullptr) log->Error("%s", mb::ModeErrorTag(error));
            return nullptr;
        }
        auto thread = std::make_unique<mb::CPortThread>(
            App().NewBusContext(), parsed.protocol, port, static_cast<uint32_t>(parsed.baud),
            parsed.parity, shift, status_cell, parsed.emulation,
            static_cast<const mb::EmulatorSlot*>(emulator_slot));
        thread->SetInfoCell(info_cell);
        if (log != nullptr)
            log->Info("{75E7525C-4359-4ce3-A1CB-08281408477F} %i %i", port, parsed.baud);
        if (!thread->Ready()) {
            if (log != nullptr)
                log->Warning("{7340A411-232A-412e-B1E5-0365FC93A739} %i %i", port, parsed.baud);
            return nullptr;
        }
        App().BusThreadStarted();
        if (!thread->Start()) {
            App().BusThreadEnded();
            if (log != nullptr) log->Error("{A8A37F18-B50D-4f01-9407-FEC493F15F90} %i", port);
            return nullptr;
        }
        if (log != nullptr) log->Info("{DC44244A-4AA4-4451-A5C8-7CC2822BCCEA} %i", port);
        std::lock_guard<std::mutex> lk(g_threads_mutex);
        g_threads.insert(thread.get());
        return thread.release();
    } catch (...) {
        if (CLogFile* log = App().Log()) log->Error("MBCreateThread COM%i failed", port);
        return nullptr;
    }
}

extern "C" void MBDestroyThread(void* thread) {
    if (thread == nullptr) return;
    try {
        auto* bus = static_cast<mb::CPortThread*>(thread);
        {
            std::lock_guard<std::mutex> lk(g_threads_mutex);
            if (g_threads.erase(bus) == 0) {
                // Not one of ours (or given back twice): left alone rather than freed.
                if (CLogFile* log = App().Log())
                    log->Error("MBDestroyThread: %p is no bus thread of this library", thread);
                return;
            }
        }
        const int port = bus->PortNumber();
        bus->Stop();
        if (CLogFile* log = App().Log())
            log->Info("{7A518E03-A4D1-4400-84EA-40504B718C45} %d", port);
        delete bus;
        App().BusThreadEnded();
    } catch (...) {
        if (CLogFile* log = App().Log()) log->Error("MBDestroyThread failed");
    }
}

extern "C" void MBFinalize() {
    try {
        App().Finalize();
    } catch (...) {
        std::fprintf(stderr, "modbus: MBFinalize failed\n");
    }
}
