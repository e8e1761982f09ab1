// Ports whose bus thread lives in a library: the field-bus library's ("M..." words and the
// other field-bus words) and the outside slave library's ("SME"). The port object only starts
// the library's thread for its COM port, keeps its handle and stops it when freed; meanwhile
// the library owns the port and writes its status and info cells.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "service/core/ports/PortObject.h"

namespace drv {

class TModbusThread : public TPortObject {
  public:
    // Status -1, info 0, then the library's MBCreateThread for COM index+1.
    TModbusThread(int index, int shift, const std::string& word);
    // MBDestroyThread: the library stops its bus thread before it returns.
    ~TModbusThread() override;
    TModbusThread(const TModbusThread&) = delete;
    TModbusThread& operator=(const TModbusThread&) = delete;

    // The device count the library publishes in the status cell.
    int PostCount() const override;
    bool Registered() const override { return handle_ != nullptr; }

  private:
    int index_;
    void* handle_ = nullptr;
};

class TVelsarnThread : public TPortObject {
  public:
    // Status -1, info 0; binds the slave library and calls its InitThread, or sets -10 when
    // the library cannot be bound.
    TVelsarnThread(int index, const std::string& word);
    // DeleteThread, then the library is let go of (unloaded with its last port).
    ~TVelsarnThread() override;
    TVelsarnThread(const TVelsarnThread&) = delete;
    TVelsarnThread& operator=(const TVelsarnThread&) = delete;

    int PostCount() const override;
    bool Registered() const override { return handle_ != nullptr; }

  private:
    int index_;
    void* handle_ = nullptr;
};

// --- the slave library ---------------------------------------------------------------------

// Its entry points, C calling convention. The protocol word is NUL-terminated UTF-16; the
// status record is the port's cell of the per-port status table.
extern "C" {
typedef void* (*SlaveInitThreadFn)(int32_t com_number, const char16_t* protocol,
                                   int32_t* status_record);
typedef void (*SlaveDeleteThreadFn)(void* handle);
}

// decisions CORE-42
inline constexpr const char* kSlaveLibraryName = "libvelsarn.so";
// Environment override of the library's path.
inline constexpr const char* kSlaveLibraryEnv = "NORVALT_VELSARN_LIB";

// Where the library is looked for: the path set by SetSlaveLibraryPath, else
// $NORVALT_VELSARN_LIB, else the executable's folder.
std::string SlaveLibraryPath();
void SetSlaveLibraryPath(const std::string& path);

// True when bound (already, or now); false when the file or an entry point is missing, in which
// case nothing stays loaded.
bool LoadSlaveLibrary();
// Frees the library when no port uses it.
void UnloadSlaveLibrary();
// Living slave-library ports.
int SlaveLibraryUseCount();
bool SlaveLibraryLoaded();

// --- registration --------------------------------------------------------------------------

// Where the field-bus library reads the emulator of a port (MBCreateThread's emulator slot);
// the default is the port's slot of the emulator table.
using EmulatorSlotFn = void* (*)(int com_number);
void SetEmulatorSlotSource(EmulatorSlotFn fn);

std::unique_ptr<TPortObject> MakeModbusPort(const PortStartInfo& info);
std::unique_ptr<TPortObject> MakeSlaveLibraryPort(const PortStartInfo& info);

}  // namespace drv
