// The enumerators the OPC server object hands out: of group interfaces (IEnumUnknown), of
// names (IEnumString) and of a group's item attributes (IEnumOPCItemAttributes). Each works
// on a snapshot taken at creation, so a client walking it holds no lock of the server; its
// size is bounded by what the snapshot came from (the item tree, a server's groups).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/core/base/ObjectBase.h"
#include "service/typelib/OpcDa.h"

namespace drv {

// What Next answers for celt 0: the enumeration-range error as a failing HRESULT.
inline constexpr HRESULT kEnumRangeError = plat::HresultFromWin32(1781);

// A wide copy in task memory, NUL-terminated; an empty text still gets its block.
// nullptr when the allocator refuses.
char16_t* WideToTaskMem(const std::u16string& text);

// The cursor shared by the three enumerators: Next's argument checks, Skip, Reset.
class TEnumCursor {
  public:
    explicit TEnumCursor(size_t count) : count_(count) {}
    // Checks Next's arguments; a null pceltFetched is allowed when celt is 1.
    static HRESULT CheckNext(uint32_t celt, const void* rgelt, const uint32_t* pceltFetched);
    // Takes up to celt entries from the cursor: [first, first + n).
    void Take(uint32_t celt, size_t& first, size_t& n);
    // Gives back the entries a failing Next did not hand out.
    void GiveBack(size_t n);
    HRESULT Skip(uint32_t celt);
    void Reset();
    size_t Position();
    size_t Count() const { return count_; }

  private:
    std::mutex m_;
    size_t count_;
    size_t pos_ = 0;
};

class TEnumUnknown final : public TMyInterfacedObject, public opc::IEnumUnknown {
  public:
    // Holds its own reference on every entry.
    static ComPtr<TEnumUnknown> Create(std::vector<ComPtr<plat::IUnknown>> entries);

    HRESULT Next(uint32_t celt, plat::IUnknown** rgelt, uint32_t* pceltFetched) override;
    HRESULT Skip(uint32_t celt) override { return cursor_.Skip(celt); }
    HRESULT Reset() override {
        cursor_.Reset();
        return plat::S_OK;
    }
    HRESULT Clone(opc::IEnumUnknown** ppenum) override;
    size_t Count() const { return entries_->size(); }

  protected:
    void* FindInterface(const IID& iid) override;

  private:
    using List = std::vector<ComPtr<plat::IUnknown>>;
    explicit TEnumUnknown(std::shared_ptr<const List> entries)
        : entries_(std::move(entries)), cursor_(entries_->size()) {}
    std::shared_ptr<const List> entries_;
    TEnumCursor cursor_;
};

class TEnumString final : public TMyInterfacedObject, public opc::IEnumString {
  public:
    static ComPtr<TEnumString> Create(std::vector<std::u16string> strings);

    HRESULT Next(uint32_t celt, char16_t** rgelt, uint32_t* pceltFetched) override;
    HRESULT Skip(uint32_t celt) override { return cursor_.Skip(celt); }
    HRESULT Reset() override {
        cursor_.Reset();
        return plat::S_OK;
    }
    HRESULT Clone(opc::IEnumString** ppenum) override;
    // How many names it holds: an empty browse answers S_FALSE.
    size_t Count() const { return strings_->size(); }

  protected:
    void* FindInterface(const IID& iid) override;

  private:
    using List = std::vector<std::u16string>;
    explicit TEnumString(std::shared_ptr<const List> strings)
        : strings_(std::move(strings)), cursor_(strings_->size()) {}
    std::shared_ptr<const List> strings_;
    TEnumCursor cursor_;
};

// One item's attributes as the group keeps them; Next copies them into task memory.
struct TItemAttributes {
    std::u16string access_path;
    std::u16string item_id;
    bool active = true;
    opc::OPCHANDLE client_handle = 0;
    opc::OPCHANDLE server_handle = 0;
    uint32_t access_rights = 0;
    std::vector<uint8_t> blob;
    plat::VARTYPE requested_type = plat::VT_EMPTY;
    plat::VARTYPE canonical_type = plat::VT_EMPTY;
    opc::OPCEUTYPE eu_type = opc::OPC_NOENUM;
    plat::Variant eu_info;
};

class TEnumOPCItemAttributes final : public TMyInterfacedObject,
                                     public opc::IEnumOPCItemAttributes {
  public:
    static ComPtr<TEnumOPCItemAttributes> Create(std::vector<TItemAttributes> items);

    HRESULT Next(uint32_t celt, opc::OPCITEMATTRIBUTES** ppItemArray,
                 uint32_t* pceltFetched) override;
    HRESULT Skip(uint32_t celt) override { return cursor_.Skip(celt); }
    HRESULT Reset() override {
        cursor_.Reset();
        return plat::S_OK;
    }
    HRESULT Clone(opc::IEnumOPCItemAttributes** ppEnumItemAttributes) override;

  protected:
    void* FindInterface(const IID& iid) override;

  private:
    using List = std::vector<TItemAttributes>;
    explicit TEnumOPCItemAttributes(std::shared_ptr<const List> items)
        : items_(std::move(items)), cursor_(items_->size()) {}
    std::shared_ptr<const List> items_;
    TEnumCursor cursor_;
};

}  // namespace drv
