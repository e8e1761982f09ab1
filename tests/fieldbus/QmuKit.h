// Shared pieces of the control-unit tests: a host that keeps an item tree and the last sample
// of every item, a port over a real client on a pty, and the simulator serving the far end.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/Variable.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

namespace fbtest {

// The host's tree: branches and items by full name, samples by handle.
class TreeHost {
  public:
    explicit TreeHost(RecordingHost& rec) : rec_(rec) {
        Current() = this;
        rec.item_find = [this](const plat::WideString& name, int16_t& leaf, int32_t& out) {
            auto it = by_name.find(plat::WideToUtf8(name));
            if (it == by_name.end()) return -1;
            leaf = items.count(it->second) ? 1 : 0;
            out = it->second;
            return it->second;
        };
        rec.item_create = [this](mb::IModbusItem* item, const plat::WideString& name,
                                 plat::VARTYPE vt, uint8_t access, int32_t parent, const char*,
                                 int32_t& out) {
            const std::string full = names.at(parent) + "." + plat::WideToUtf8(name);
            const int32_t h = next++;
            by_name[full] = h;
            names[h] = full;
            items[h] = Item{item, vt, access};
            out = h;
            return h;
        };
        rec.host.pParentCreate = [](const char16_t* name, int32_t parent) -> int32_t {
            TreeHost& t = *Current();
            const std::string leaf = plat::WideToUtf8(plat::WideString(name));
            const std::string full = parent < 0 ? leaf : t.names.at(parent) + "." + leaf;
            const int32_t h = t.next++;
            t.by_name[full] = h;
            t.names[h] = full;
            return h;
        };
        rec.host.pItemDestroy = [](int32_t h) {
            TreeHost& t = *Current();
            auto it = t.names.find(h);
            if (it == t.names.end()) return;
            t.by_name.erase(it->second);
            t.items.erase(h);
            t.names.erase(it);
            ++t.destroyed;
        };
        rec.host.pNewSample = [](int32_t h, const plat::Variant* v, uint16_t q,
                                 const plat::FILETIME*) {
            TreeHost& t = *Current();
            t.samples[h] = {*v, q};
        };
        rec.host.pUpdateTS = [](int32_t, const plat::FILETIME*) {};
    }
    ~TreeHost() {
        if (Current() == this) Current() = nullptr;
    }

    bool Has(const std::string& full) { return by_name.count(full) != 0; }
    // The last sample sent for the item; an empty variant when none.
    plat::Variant Value(const std::string& full) {
        auto it = by_name.find(full);
        if (it == by_name.end()) return {};
        auto s = samples.find(it->second);
        return s == samples.end() ? plat::Variant() : s->second.first;
    }
    int32_t IntValue(const std::string& full) {
        plat::Variant out;
        if (plat::Failed(plat::VariantChangeType(out, Value(full), 0, plat::VT_I4))) return -12345;
        return out.lVal;
    }
    uint16_t QualityOf(const std::string& full) {
        auto it = by_name.find(full);
        if (it == by_name.end()) return 0xFFFF;
        auto s = samples.find(it->second);
        return s == samples.end() ? 0xFFFF : s->second.second;
    }
    mb::CVariable* Var(const std::string& full) {
        auto it = by_name.find(full);
        if (it == by_name.end() || !items.count(it->second)) return nullptr;
        return dynamic_cast<mb::CVariable*>(items[it->second].item);
    }
    std::vector<std::string> ItemNames() {
        std::vector<std::string> out;
        for (auto& [h, i] : items) out.push_back(names[h]);
        return out;
    }

    struct Item {
        mb::IModbusItem* item;
        plat::VARTYPE vt;
        uint8_t access;
    };
    std::map<std::string, int32_t> by_name;
    std::map<int32_t, std::string> names;
    std::map<int32_t, Item> items;
    std::map<int32_t, std::pair<plat::Variant, uint16_t>> samples;
    int32_t next = 1;
    int destroyed = 0;

  private:
    static TreeHost*& Current() {
        static TreeHost* current = nullptr;
        return current;
    }
    RecordingHost& rec_;
};

class SimPort : public mb::IDevicePort {
  public:
    SimPort(mb::CLogFile* log, RecordingHost* host, mb::CModbus* modbus)
        : log_(log), host_(host), modbus_(modbus) {}
    mb::CModbus* PortModbus() override { return modbus_; }
    mb::CLogFile* PortLog() override { return log_; }
    const mb::HostCallbacks* PortHost() override { return &host_->host; }
    int32_t CaptureCount(uint8_t) override { return 0; }
    int PortNumber() const override { return 7; }
    bool FlatPosts() const override { return flat; }
    bool IsFreeAddress(uint8_t a) override { return free.count(a) != 0; }
    void MoveAddress(uint8_t from, uint8_t to) override {
        moves.emplace_back(from, to);
        free.erase(to);
        free.insert(from);
    }
    bool AdoptDevice(mb::CDevice* d) override {
        if (!adopt) return false;
        adopted.emplace_back(d);
        return true;
    }
    std::unique_ptr<mb::CDevice> ReleaseDevice(mb::CDevice* d) override {
        for (auto it = adopted.begin(); it != adopted.end(); ++it)
            if (it->get() == d) {
                auto out = std::move(*it);
                adopted.erase(it);
                return out;
            }
        return nullptr;
    }
    void SetModbus(mb::CModbus* m) { modbus_ = m; }
    bool adopt = false;
    std::vector<std::unique_ptr<mb::CDevice>> adopted;
    bool flat = false;
    std::set<uint8_t> free;
    std::vector<std::pair<uint8_t, uint8_t>> moves;

  private:
    mb::CLogFile* log_;
    RecordingHost* host_;
    mb::CModbus* modbus_;
};

// A client on COM7 whose far end the simulator serves.
class SimLineTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        mb_->SetAnswerTimeout(300);
        port_.SetModbus(mb_.get());
        server_ = std::make_unique<fbsim::RtuServer>(engine_, pty_.FarFd());
    }
    void TearDown() override {
        server_.reset();
        LineTest::TearDown();
    }
    static fbsim::UnitSetup Unit(int posts, uint16_t version = 5, uint16_t build = 63) {
        fbsim::UnitSetup u;
        u.version = version;
        u.build = build;
        u.side1 = posts;
        for (int k = 0; k < posts; ++k) {
            fbsim::PostSetup p;
            p.number = static_cast<uint16_t>(k + 1);
            u.posts.push_back(p);
        }
        return u;
    }
    uint16_t Reg(uint8_t unit, uint16_t reg) {
        auto s = engine_.Find(unit);
        uint16_t v = 0;
        engine_.With([&] { v = s->Get(reg); });
        return v;
    }
    void SetReg(uint8_t unit, uint16_t reg, uint16_t v) {
        auto s = engine_.Find(unit);
        engine_.With([&] { s->regs[reg] = v; });
    }
    // Requests (hex, no CRC) the simulator saw since the last call.
    std::vector<std::string> Sent() {
        auto r = engine_.Requests();
        engine_.ClearRequests();
        return r;
    }

    fbsim::Engine engine_;
    std::unique_ptr<fbsim::RtuServer> server_;
    MemoryLog mlog_;
    RecordingHost rec_;
    TreeHost tree_{rec_};
    SimPort port_{&mlog_, &rec_, nullptr};
};

}  // namespace fbtest
