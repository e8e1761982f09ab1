// A device model on COM7 with a RawPeer behind it: the host side is a recording host that
// keeps a flat name tree (branches and items by full name) and a port with a free-address
// list and a name shift.
#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>

#include "fieldbus/core/Variable.h"
#include "fieldbus/devices/DeviceKit.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/RawPeer.h"
#include "tests/fieldbus/StoreKit.h"

namespace fbtest {

// Full names by handle; item names that arrived twice are kept apart.
struct NameTree {
    std::map<int32_t, std::string> names;
    std::multiset<std::string> items;
    int32_t next = 100;
    int32_t Find(const std::string& full) const {
        for (const auto& [h, n] : names)
            if (n == full) return h;
        return -1;
    }
    int32_t Add(const std::string& name, int32_t parent) {
        auto it = names.find(parent);
        const std::string full = it == names.end() ? name : it->second + "." + name;
        names[++next] = full;
        return next;
    }
    static NameTree*& Current() {
        static NameTree* t = nullptr;
        return t;
    }
};

class ModelPort : public FakePort {
  public:
    using FakePort::FakePort;
    bool IsFreeAddress(uint8_t a) override { return free.count(a) != 0; }
    int NameShift() const override { return shift; }
    std::set<uint8_t> free;
    int shift = 0;
};

class ModelTest : public LineTest {
  protected:
    static constexpr int kAddress = 5;
    void SetUp() override {
        LineTest::SetUp();
        NameTree::Current() = &tree_;
        host_.item_find = [this](const plat::WideString& name, int16_t&, int32_t&) {
            return tree_.Find(plat::WideToUtf8(name));
        };
        host_.item_create = [this](mb::IModbusItem*, const plat::WideString& name, plat::VARTYPE,
                                   uint8_t, int32_t parent, const char*, int32_t& h) {
            h = tree_.Add(plat::WideToUtf8(name), parent);
            tree_.items.insert(tree_.names[h]);
            return h;
        };
        host_.host.pParentCreate = [](const char16_t* name, int32_t parent) -> int32_t {
            return NameTree::Current()->Add(plat::WideToUtf8(name), parent);
        };
        peer_ = std::make_unique<RawPeer>(pty_.FarFd(), kAddress);
        mb_->SetAnswerTimeout(150);
        port_ = std::make_unique<ModelPort>(&dlog_, &host_, mb_.get());
    }
    void TearDown() override {
        device_.reset();
        peer_.reset();
        NameTree::Current() = nullptr;
        LineTest::TearDown();
    }
    static mb::CVariable* V(mb::ItemSlot& s) { return dynamic_cast<mb::CVariable*>(s.variable); }
    // The result the host got for a command id.
    int32_t ResultOf(int32_t id) {
        for (auto [i, r] : host_.Results())
            if (i == id) return r;
        return 0x7FFFFFFF;
    }

    MemoryLog dlog_;
    RecordingHost host_;
    NameTree tree_;
    std::unique_ptr<RawPeer> peer_;
    std::unique_ptr<ModelPort> port_;
    std::unique_ptr<mb::CDevice> device_;
};

}  // namespace fbtest
