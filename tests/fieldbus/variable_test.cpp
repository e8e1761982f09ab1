// The device variable: samples to the host, writes into the device's queue, read-back marks,
// the OPC properties and the variable outliving its device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/core/Variable.h"
#include "platform/types/cotaskmem.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/TempRoot.h"

using namespace fbtest;
using mb::CVariable;
using plat::Variant;

namespace {

// What the host was sent, for the table's plain functions.
struct Sent {
    std::mutex m;
    struct Sample {
        int32_t handle;
        Variant value;
        uint16_t quality;
    };
    std::vector<Sample> samples;
    int stamps = 0;
    std::vector<int32_t> destroyed;
    std::function<void()> on_sample;
};
Sent* g_sent = nullptr;

void OnSample(int32_t handle, const Variant* value, uint16_t quality, const plat::FILETIME*) {
    std::function<void()> hook;
    {
        std::lock_guard lk(g_sent->m);
        g_sent->samples.push_back({handle, *value, quality});
        hook = g_sent->on_sample;
    }
    if (hook) hook();
}
void OnStamp(int32_t, const plat::FILETIME*) {
    std::lock_guard lk(g_sent->m);
    ++g_sent->stamps;
}
void OnDestroy(int32_t handle) {
    std::lock_guard lk(g_sent->m);
    g_sent->destroyed.push_back(handle);
}

class Dev : public mb::CDevice {
  public:
    using CDevice::CDevice;
    ~Dev() override { DestroyVariables(); }
    std::string DefineErrorText(int32_t value, plat::LCID lcid) override {
        return value == 0 ? std::string()
                          : "E" + std::to_string(value) + "/" + std::to_string(lcid);
    }
};

class VariableTest : public ::testing::Test {
  protected:
    VariableTest() {
        g_sent = &sent_;
        host_.host.pNewSample = &OnSample;
        host_.host.pUpdateTS = &OnStamp;
        host_.host.pItemDestroy = &OnDestroy;
        live_ = plat::CoTaskMemLiveBlocks();
    }
    ~VariableTest() override {
        dev_.reset();
        g_sent = nullptr;
    }

    CVariable* Make(mb::ItemSlot slot, int32_t handle = 7) {
        auto* v = static_cast<CVariable*>(dev_->MakeVariable(slot));
        v->SetHostHandle(handle);
        return v;
    }
    std::vector<Sent::Sample> Samples() {
        std::lock_guard lk(sent_.m);
        return sent_.samples;
    }

    testsupport::TempRoot root_;  // first: the log reads the registry
    MemoryLog log_;
    RecordingHost host_;
    FakePort port_{&log_, &host_};
    Sent sent_;
    std::unique_ptr<Dev> dev_ = std::make_unique<Dev>(3, &port_);
    size_t live_ = 0;
};

constexpr uint64_t kT0 = 133'000'000'000'000'000ull;

TEST_F(VariableTest, TheInitialValueIsLogged) {
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "Dose", .initial = Variant::I4(4)});
    v->SendInitialValue();
    EXPECT_EQ(log_.Count("T:инициализация значения Dose 3 wQuality 0"), 1u);
    ASSERT_EQ(Samples().size(), 1u);
    CVariable* q = Make({.raw_type = plat::VT_BSTR, .name = "UID", .access = 0x81});
    q->SendInitialValue();
    EXPECT_EQ(log_.Count("инициализация значения UID"), 0u) << "quiet";
}

TEST_F(VariableTest, SamplesAreRoundedAndSentOnlyWhenTheyChange) {
    CVariable* v = Make({.raw_type = plat::VT_R4, .name = "Flow", .decimals = 9});
    v->NewSample(Variant::R4(1.23456789f), mb::kQualityGood, kT0);
    ASSERT_EQ(Samples().size(), 1u);
    EXPECT_EQ(Samples()[0].handle, 7);
    EXPECT_EQ(Samples()[0].value.vt, plat::VT_R4);
    EXPECT_FLOAT_EQ(Samples()[0].value.fltVal, 1.23457f);
    EXPECT_EQ(v->Decimals(), 5) << "decimals are limited to 5 for good";

    v->NewSample(Variant::R4(1.23456789f), mb::kQualityGood, kT0 + 1);
    EXPECT_EQ(Samples().size(), 1u) << "an equal sample only moves the time stamp";
    EXPECT_EQ(sent_.stamps, 1);
    EXPECT_EQ(v->Time(), kT0 + 1);
    v->NewSample(Variant::R4(1.23456789f), mb::kQualityGood, kT0 + 2, true);
    EXPECT_EQ(Samples().size(), 2u) << "forced";

    v->NewSample(Variant::R4(std::numeric_limits<float>::quiet_NaN()), mb::kQualityGood, kT0);
    ASSERT_EQ(Samples().size(), 3u);
    EXPECT_EQ(Samples()[2].quality, 0) << "NaN is never good";

    v->SetQuality(0, kT0 + 3);
    EXPECT_EQ(Samples().size(), 3u);
    EXPECT_EQ(sent_.stamps, 2);
    v->SetQuality(mb::kQualityGood, kT0 + 4);
    ASSERT_EQ(Samples().size(), 4u);
    EXPECT_EQ(Samples()[3].quality, mb::kQualityGood);
}

TEST_F(VariableTest, DoubleValuesAreRoundedAsDoubles) {
    // A raw R8 variable, and an R4 one shown to the host as R8: both round the double they
    // send, never the first four bytes of it read as a float.
    CVariable* r8 = Make({.raw_type = plat::VT_R8, .name = "Total", .decimals = 2});
    r8->NewSample(Variant::R8(12345.6789), mb::kQualityGood, kT0);
    CVariable* r4 =
        Make({.raw_type = plat::VT_R4, .canonical_type = plat::VT_R8, .name = "T", .decimals = 1});
    r4->NewSample(Variant::R4(2.25f), mb::kQualityGood, kT0);
    ASSERT_EQ(Samples().size(), 2u);
    EXPECT_EQ(Samples()[0].value.vt, plat::VT_R8);
    EXPECT_DOUBLE_EQ(Samples()[0].value.dblVal, 12345.68);
    EXPECT_EQ(Samples()[1].value.vt, plat::VT_R8);
    EXPECT_DOUBLE_EQ(Samples()[1].value.dblVal, 2.3);

    CVariable* big = Make({.raw_type = plat::VT_R4, .name = "Big", .decimals = 5});
    big->NewSample(Variant::R4(3e37f), mb::kQualityGood, kT0);
    EXPECT_FLOAT_EQ(Samples()[2].value.fltVal, 3e37f) << "too large to scale: kept, not infinite";
}

TEST_F(VariableTest, AFailedConversionSendsNothing) {
    CVariable* v = Make({.raw_type = plat::VT_BSTR, .canonical_type = plat::VT_R8, .name = "S"});
    v->NewSample(Variant::Str("abc"), mb::kQualityGood, kT0);
    EXPECT_TRUE(Samples().empty());
    EXPECT_EQ(log_.Count("{65EC0614-BC15-4426-AB47-EAE644115C97} S"), 1u);
    v->NewSample(Variant::Str("2.5"), mb::kQualityGood, kT0);
    ASSERT_EQ(Samples().size(), 1u);
    EXPECT_DOUBLE_EQ(Samples()[0].value.dblVal, 2.5);
}

TEST_F(VariableTest, TheHostIsCalledOutsideTheVariablesLock) {
    // The host's sample callback takes its item's lock, which a host thread may hold while it
    // reads the variable's properties: that read must not wait for the sample to return.
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "N"});
    std::thread reader;
    bool read_in_time = false;
    sent_.on_sample = [&] {
        std::promise<void> done;
        auto f = done.get_future();
        reader = std::thread([&, p = std::move(done)]() mutable {
            uint32_t id = 2;
            Variant* values = nullptr;
            plat::HRESULT* errors = nullptr;
            v->GetItemProperties(1, &id, 1033, &values, &errors);
            values[0].~Variant();
            plat::CoTaskMemFree(values);
            plat::CoTaskMemFree(errors);
            p.set_value();
        });
        read_in_time = f.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    };
    v->NewSample(Variant::I4(5), mb::kQualityGood, kT0);
    reader.join();
    EXPECT_TRUE(read_in_time);
}

TEST_F(VariableTest, WritesGoToTheQueueOrAreRefusedWithoutAnId) {
    CVariable* v =
        Make({.raw_type = plat::VT_I4, .name = "Dose", .access = 3, .minimum = 0, .maximum = 100});
    EXPECT_EQ(v->Write(Variant::I4(50)), 1);
    EXPECT_EQ(dev_->WriteQueue().GetCount(), 1u);
    EXPECT_TRUE(dev_->WritesQueued());
    EXPECT_EQ(v->Write(Variant::I4(101)), plat::OPC_E_RANGE);
    EXPECT_EQ(v->Write(Variant::R8(100.5)), plat::OPC_E_RANGE) << "doubles are range-checked";
    EXPECT_EQ(v->Write(Variant::I8(1ll << 40)), plat::OPC_E_RANGE);
    EXPECT_EQ(v->Write(Variant::UI8(200)), plat::OPC_E_RANGE);
    Variant odd;
    odd.vt = plat::VT_VARIANT;
    EXPECT_EQ(v->Write(odd), plat::DISP_E_BADVARTYPE);
    EXPECT_EQ(host_.LastId(), 1) << "no refused write takes a command id";
    EXPECT_EQ(dev_->WriteQueue().GetCount(), 1u);

    CVariable* text =
        Make({.raw_type = plat::VT_BSTR, .name = "Name", .access = 3, .minimum = 0, .maximum = 3});
    EXPECT_EQ(text->Write(Variant::Str("abcd")), plat::OPC_E_RANGE);
    EXPECT_EQ(text->Write(Variant::Str("abc")), 2);

    CVariable* conv =
        Make({.raw_type = plat::VT_I2, .canonical_type = plat::VT_R8, .name = "C", .access = 3});
    EXPECT_EQ(conv->Write(Variant::R8(1e9)), plat::E_FAIL) << "does not fit the raw type";
    EXPECT_EQ(conv->Write(Variant::R8(7.0)), 3);
    mb::CDeviceItem* item = nullptr;
    Variant value;
    int32_t id = 0;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(dev_->WriteQueue().Pop(item, value, id));
    EXPECT_EQ(item, conv);
    EXPECT_EQ(value.vt, plat::VT_I2) << "queued in the device's own type";
    EXPECT_EQ(value.iVal, 7);
}

TEST_F(VariableTest, WritesWhileOfflineOrSearchingAnswer1117) {
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "Dose", .access = 3});
    host_.search.store(1);
    EXPECT_EQ(v->Write(Variant::I4(1)), 1117);
    host_.search.store(0);
    dev_->SetState(mb::kStateOffline);
    EXPECT_EQ(v->Write(Variant::I4(1)), 1117);
    // The answer is the write's own result: no command id is taken for it.
    EXPECT_EQ(host_.LastId(), 0);
    EXPECT_TRUE(host_.Results().empty());
    EXPECT_EQ(dev_->WriteQueue().GetCount(), 0u);
}

TEST_F(VariableTest, OneReadBackPerMark) {
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "Dose"});
    v->SetUpdateRequest(1);
    v->SetUpdateRequest(1);
    EXPECT_EQ(dev_->ReadBacksPending(), 1);
    EXPECT_EQ(v->ReadRequests(), 2);
    EXPECT_TRUE(v->TakeReadBackMark());
    EXPECT_FALSE(v->TakeReadBackMark());
    v->SetUpdateRequest(0);
    EXPECT_EQ(dev_->ReadBacksPending(), 1) << "flag 0 asks for no read-back";
}

TEST_F(VariableTest, TheVariableOutlivesItsDevice) {
    CVariable* v =
        Make({.raw_type = plat::VT_I4, .name = "Dose", .access = 3, .alarm_help = true}, 42);
    v->AddRef();  // the host's reference
    ASSERT_EQ(v->Write(Variant::I4(5)), 1);
    v->NewSample(Variant::I4(3), mb::kQualityGood, kT0);
    dev_.reset();
    EXPECT_EQ(sent_.destroyed, std::vector<int32_t>{42});
    // The queued write got 1117 with the device; a later one is answered at once, without an id.
    EXPECT_EQ(v->Write(Variant::I4(6)), 1117);
    EXPECT_EQ(host_.Results(), (std::vector<std::pair<int32_t, int32_t>>{{1, 1117}}));
    EXPECT_EQ(v->SetUpdateRequest(1), plat::S_OK);
    uint32_t ids[] = {301, 5000};
    Variant* values = nullptr;
    plat::HRESULT* errors = nullptr;
    ASSERT_EQ(v->GetItemProperties(2, ids, 1033, &values, &errors), plat::S_OK);
    EXPECT_EQ(values[0].bstrVal, u"Error of the reading the register error ")
        << "no device to ask: the fallback text";
    EXPECT_EQ(values[1].boolVal, plat::VARIANT_FALSE);
    for (int i = 0; i < 2; ++i) values[i].~Variant();
    plat::CoTaskMemFree(values);
    plat::CoTaskMemFree(errors);
    EXPECT_EQ(v->Release(), 0u);
}

TEST_F(VariableTest, WritersRacingTheDevicesEndAllGetAnAnswer) {
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "Dose", .access = 3}, 9);
    v->AddRef();
    std::atomic<bool> go{true};
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            while (go.load()) {
                const int32_t r = v->Write(Variant::I4(1));
                EXPECT_TRUE(r > 0 || r == plat::E_OUTOFMEMORY) << r;
                ++done;
            }
        });
    ASSERT_TRUE(Eventually([&] { return done.load() > 200; }));
    dev_.reset();
    const int at_end = done.load();
    ASSERT_TRUE(Eventually([&] { return done.load() > at_end + 200; }));
    go = false;
    for (auto& w : writers) w.join();
    // Every id taken got exactly one answer, 1117 with the device; later writes took none.
    std::map<int32_t, int> answers;
    for (const auto& [id, result] : host_.Results()) {
        EXPECT_EQ(result, 1117);
        ++answers[id];
    }
    EXPECT_EQ(answers.size(), static_cast<size_t>(host_.LastId()));
    for (const auto& [id, n] : answers) EXPECT_EQ(n, 1) << id;
    EXPECT_EQ(v->Release(), 0u);
}

// Every property id the variable may offer, and one it never does.
const uint32_t kAllIds[] = {1, 2, 3, 4, 5, 6, 100, 101, 104, 105, 301, 5000, 7};

TEST_F(VariableTest, PropertiesInBothLocales) {
    CVariable* full = Make({.raw_type = plat::VT_R4,
                            .min_interval_ms = 500,
                            .canonical_type = plat::VT_R8,
                            .name = "Temp",
                            .access = 9,
                            .description_id = 4001,
                            .units_id = 4002,
                            .minimum = -40,
                            .maximum = 85,
                            .alarm_help = true});
    {
        uint32_t n = 0;
        uint32_t* ids = nullptr;
        char16_t** desc = nullptr;
        plat::VARTYPE* types = nullptr;
        ASSERT_EQ(full->QueryAvailableProperties(&n, &ids, &desc, &types), plat::S_OK);
        ASSERT_EQ(n, 12u);
        const uint32_t want[] = {1, 2, 3, 4, 5, 6, 100, 101, 104, 105, 5000, 301};
        const plat::VARTYPE want_types[] = {2, 12, 2, 7, 3, 4, 8, 8, 5, 5, 11, 8};
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_EQ(ids[i], want[i]);
            EXPECT_EQ(types[i], want_types[i]) << ids[i];
        }
        EXPECT_EQ(plat::WideString(desc[0]), u"Item Canonical DataType");
        EXPECT_EQ(plat::WideString(desc[10]), u"Real HardWare");
        EXPECT_EQ(plat::WideString(desc[11]), u"Alarm Quick Help");
        for (uint32_t i = 0; i < n; ++i) plat::CoTaskMemFree(desc[i]);
        plat::CoTaskMemFree(desc);
        plat::CoTaskMemFree(ids);
        plat::CoTaskMemFree(types);
    }
    full->NewSample(Variant::R4(21.5f), mb::kQualityGood, kT0);
    port_.real = false;
    for (plat::LCID lcid : {plat::LCID{1049}, plat::LCID{1033}}) {
        SCOPED_TRACE(lcid);
        Variant* values = nullptr;
        plat::HRESULT* errors = nullptr;
        ASSERT_EQ(full->GetItemProperties(std::size(kAllIds), kAllIds, lcid, &values, &errors),
                  plat::S_FALSE);
        for (size_t i = 0; i + 1 < std::size(kAllIds); ++i)
            EXPECT_EQ(errors[i], plat::S_OK) << kAllIds[i];
        EXPECT_EQ(errors[12], plat::OPC_E_INVALID_PID);
        EXPECT_EQ(values[0].iVal, plat::VT_R8);
        EXPECT_EQ(values[1].vt, plat::VT_R4);
        EXPECT_FLOAT_EQ(values[1].fltVal, 21.5f);
        EXPECT_EQ(values[2].iVal, 192);
        EXPECT_EQ(values[3].vt, plat::VT_DATE);
        EXPECT_GT(values[3].date, 40000.0);
        EXPECT_EQ(values[4].lVal, 3);
        EXPECT_FLOAT_EQ(values[5].fltVal, 500.0f);
        // Units and description in the client's language, from the library's table.
        std::string units, description;
        ASSERT_TRUE(mb::LoadText(4002, lcid, units) && mb::LoadText(4001, lcid, description));
        EXPECT_EQ(values[6].bstrVal, plat::Utf8ToWide(units));
        EXPECT_EQ(values[7].bstrVal, plat::Utf8ToWide(description));
        EXPECT_EQ(values[8].dblVal, 85.0);
        EXPECT_EQ(values[9].dblVal, -40.0);
        EXPECT_EQ(plat::WideToUtf8(values[10].bstrVal), "E22/" + std::to_string(lcid))
            << "the device's text for the value as an integer (half to even)";
        EXPECT_EQ(values[11].vt, plat::VT_BOOL);
        EXPECT_EQ(values[11].boolVal, plat::VARIANT_FALSE) << "emulated port";
        for (size_t i = 0; i < std::size(kAllIds); ++i) values[i].~Variant();
        plat::CoTaskMemFree(values);
        plat::CoTaskMemFree(errors);
    }

    CVariable* bare = Make({.raw_type = plat::VT_I4, .name = "Bare", .access = 1});
    for (plat::LCID lcid : {plat::LCID{1049}, plat::LCID{1033}}) {
        Variant* values = nullptr;
        plat::HRESULT* errors = nullptr;
        ASSERT_EQ(bare->GetItemProperties(std::size(kAllIds), kAllIds, lcid, &values, &errors),
                  plat::S_FALSE);
        for (size_t i = 0; i < std::size(kAllIds); ++i) {
            const bool offered = kAllIds[i] <= 6 || kAllIds[i] == 5000;
            EXPECT_EQ(errors[i], offered ? plat::S_OK : plat::OPC_E_INVALID_PID) << kAllIds[i];
        }
        EXPECT_EQ(values[11].boolVal, plat::VARIANT_FALSE);
        for (size_t i = 0; i < std::size(kAllIds); ++i) values[i].~Variant();
        plat::CoTaskMemFree(values);
        plat::CoTaskMemFree(errors);
    }

    // Quality not good: the alarm help is the library's fallback text.
    full->SetQuality(0, kT0);
    uint32_t id = 301;
    Variant* values = nullptr;
    plat::HRESULT* errors = nullptr;
    ASSERT_EQ(full->GetItemProperties(1, &id, 1049, &values, &errors), plat::S_OK);
    EXPECT_EQ(values[0].vt, plat::VT_BSTR);
    std::string fallback;
    ASSERT_TRUE(mb::LoadText(4063, 1049, fallback));
    EXPECT_EQ(values[0].bstrVal, plat::Utf8ToWide(fallback));
    values[0].~Variant();
    plat::CoTaskMemFree(values);
    plat::CoTaskMemFree(errors);

    EXPECT_EQ(full->GetItemProperties(0, &id, 1049, &values, &errors), plat::E_INVALIDARG);
    EXPECT_EQ(full->GetItemProperties(1, nullptr, 1049, &values, &errors), plat::E_INVALIDARG);
    EXPECT_EQ(full->GetItemProperties(1, &id, 1049, nullptr, &errors), plat::E_INVALIDARG);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), live_);
}

TEST_F(VariableTest, AllocationFailuresLeaveNothingBehind) {
    CVariable* v = Make({.raw_type = plat::VT_I4, .name = "N"});
    const size_t old = plat::CoTaskMemSetLimit(8);
    uint32_t n = 9;
    uint32_t* ids = nullptr;
    char16_t** desc = nullptr;
    plat::VARTYPE* types = nullptr;
    EXPECT_EQ(v->QueryAvailableProperties(&n, &ids, &desc, &types), plat::E_OUTOFMEMORY);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ids, nullptr);
    Variant* values = nullptr;
    plat::HRESULT* errors = nullptr;
    EXPECT_EQ(v->GetItemProperties(std::size(kAllIds), kAllIds, 1033, &values, &errors),
              plat::E_OUTOFMEMORY);
    plat::CoTaskMemSetLimit(old);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), live_);
}

}  // namespace
