// The service's own configuration items under "System", the posts' enable and tank items, and
// the fixed address space that lets clients see saved item names before the devices answer.
#pragma once
#include <string>

#include "service/core/items/DeviceItems.h"

namespace drv {

// "System.AllParameters": the whole "Parameters" string.
class TSysParStrItem : public TSoftLeafItem {
  public:
    TSysParStrItem();
    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::string DescriptionRu() override { return "Все параметры драйвера"; }
    std::string DescriptionEn() override { return "Driver's all parameters"; }
};

// "System.AllPortsEnable": true while DISABLEALLPORTS is not set.
class TSysEnableAllPortsItem : public TSoftLeafItem {
  public:
    TSysEnableAllPortsItem();
    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::string DescriptionRu() override { return "Разрешение использования портов"; }
    std::string DescriptionEn() override { return "Enable using ports"; }
};

// "Post<n>.Enable": whether the post may run.
class TPostEnableItem : public TSoftLeafItem {
  public:
    TPostEnableItem(int post_number, bool enabled);
    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::string DescriptionRu() override { return "Внешнее разрешение работы поста"; }
    std::string DescriptionEn() override { return "External enable of post process execution"; }

  private:
    int post_;
};

// "Post<n>.Tank": the tank that feeds the post.
class TPostTankIDItem : public TSoftLeafItem {
  public:
    TPostTankIDItem(int post_number, int32_t tank);
    uint8_t AccessRights() override { return 3; }
    HRESULT Write(const Variant& value, int client_privilege, int flag, LCID locale) override;
    std::string DescriptionRu() override { return "Резервуар поста"; }
    std::string DescriptionEn() override { return "Post tank"; }

  private:
    int post_;
};

// Start-up: the branch class, the two System items, the hooks the port manager calls and the
// host-callback table for the field-bus library (HostCallbackTable, ExtItems.h).
void InitDriverItems();
// Re-reads both System items from the cached "Parameters" string.
void RefreshSystemItems();

// Fixed address space under HKLM "\Software\Norvalt\Drv\AddrSpace".
extern const char* const kAddrSpaceKey;
void LoadAddrSpace();
bool AddrSpaceLoaded();
// Saves every item of the tree (fixed address space only, after loading, at most once a
// minute unless forced, and only when the namespace changed since the last save).
bool SaveAddrSpace(bool force = false);

}  // namespace drv
