// What the port manager starts: one object per running port, made by the factory of its kind
// from the port's settings. The kinds (the native poll thread, the field-bus and the slave
// library) implement it; the manager knows them only through this header.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace drv {

// One running port (a native poll thread, a field-bus or a slave-library thread).
class TPortObject {
  public:
    virtual ~TPortObject() = default;
    virtual int PostCount() const = 0;
    // False when the object did not take the port (it is freed at once).
    virtual bool Registered() const = 0;
};

struct PortStartInfo {
    int index = 0;  // COM number = index + 1
    std::string word;
    int shift = 0;
    uint32_t baud = 4800;
    bool emulation = false;
    bool default_mode = false;
};

enum class PortKind { Native, FieldBus, SlaveLibrary };
using PortFactory = std::function<std::unique_ptr<TPortObject>(const PortStartInfo&)>;

}  // namespace drv
