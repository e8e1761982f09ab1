// Items whose values live in the field-bus library, and the service's side of the library's
// host callbacks.
#pragma once
#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "fieldbus/core/HostApi.h"
#include "service/core/items/DeviceItems.h"

namespace drv {

// A leaf backed by one library variable. The item can outlive the library's variable (OPC
// groups and the station cache keep leaves), so the interface is detached under a lock when the
// library destroys the variable; from then on nothing reaches it and writes and property reads
// answer OPC_E_UNKNOWNITEMID.
class TExtLeafItem : public TCustomLeafItem {
  public:
    // `access`: the library's access byte (low 4 bits the rights, bit 7 the library's "quiet"
    // mark); ExtItemCreate reads `privileged` from its kAccessPrivileged bit. A privileged item is
    // hidden from every client but a friend and writable only by a friend with privilege.
    TExtLeafItem(const std::string& name, plat::ComPtr<mb::IModbusItem> item, VARTYPE canonical,
                 uint8_t access, std::string description, bool privileged = false);
    ~TExtLeafItem() override;

    uint8_t AccessRights() override { return rights_; }
    bool Privileged() const { return privileged_; }
    bool Quiet() const { return quiet_; }
    // Whether the library's variable is still attached.
    bool Attached();
    // Lets go of the library's variable; waits for calls into it that are under way.
    void Detach();

    bool RefusesClient(int client_kind, int flag) override;
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    void RequestRefresh() override;
    std::vector<PropertyInfo> AvailableProperties() override;
    HRESULT GetItemProperty(uint32_t id, LCID locale, Variant& out) override;
    std::string DescriptionRu() override { return description_; }
    std::string DescriptionEn() override { return description_; }

  private:
    // A shared hold on the interface for one call; empty once detached or detaching.
    std::shared_lock<std::shared_mutex> Hold();

    // Calls into the library hold it shared; Detach holds it exclusively.
    std::shared_mutex iface_lock_;
    std::atomic<bool> detaching_{false};
    plat::ComPtr<mb::IModbusItem> iface_;
    const uint8_t rights_;
    const bool quiet_;
    const bool privileged_;
    const std::string description_;
};

// The client kind of a trusted OPC client (the OPC server's own numbering).
constexpr int kFriendClientKind = 1;

// The table handed to the library's MBInitialize; filled by InitDriverItems.
const mb::HostCallbacks& HostCallbackTable();
// Fills the table (the search flag is the service's search mode) and forgets every library
// item still registered, letting go of its interface.
void InitExtItems();
// Forgets every library item still registered and lets go of its interface (the library must
// be stopped, or its items destroyed, before).
void DropExtItems();

// The library's item handle of a live external item, or null.
ComPtr<TExtLeafItem> FindExtItem(int32_t handle);

}  // namespace drv

// The host callbacks. None of them throws: a failure is logged to the global log.
extern "C" {
// decisions CORE-35
int32_t ExtItemFind(const char16_t* full_name, int16_t* is_leaf, int32_t* parent) noexcept;
int32_t ExtItemCreate(mb::IModbusItem* item, const char16_t* name, plat::VARTYPE vt, uint8_t access,
                      int32_t parent, const char* description, int32_t* handle) noexcept;
void ExtItemDestroy(int32_t handle) noexcept;
int32_t ExtParentCreate(const char16_t* name, int32_t parent) noexcept;
int32_t ExtCmdNewID() noexcept;
uint8_t ExtCmdIsDead(int32_t id) noexcept;
void ExtNewSample(int32_t handle, const plat::Variant* value, uint16_t quality,
                  const plat::FILETIME* time) noexcept;
void ExtUpdateTS(int32_t handle, const plat::FILETIME* time) noexcept;
}
