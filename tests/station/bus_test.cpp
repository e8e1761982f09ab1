// Library ports through the service: the system device of a field-bus port in the item tree,
// raw exchanges a client sends through it, the emulated line, and port restarts from the System
// items while the bus thread is busy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/object.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/typelib/TypeLib.h"
#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/station/LibraryStation.h"
#include "tests/support/PtyPair.h"

namespace {

using station::Within;

uint16_t Crc16(const std::vector<uint8_t>& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}
std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
    const uint16_t crc = Crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// Reads what comes on `fd` until `ms` pass without a byte (or `first_ms` without the first).
std::vector<uint8_t> ReadFrame(int fd, int first_ms, int gap_ms) {
    std::vector<uint8_t> out;
    int wait = first_ms;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN)) return out;
        uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.insert(out.end(), buf, buf + n);
        wait = gap_ms;
    }
}

// The port's end of a pty, opened by path as a device would be.
class PortEnd {
  public:
    explicit PortEnd(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~PortEnd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

// An emulator client that relays each frame to a line and hands back what the line answers.
class RelayEmulator : public plat::ComObject<tlb::IHWEmu> {
  public:
    explicit RelayEmulator(int fd) : fd_(fd) {}
    plat::HRESULT WriteCall(const plat::WideString& call) override {
        std::vector<uint8_t> bytes;
        for (char16_t c : call) bytes.push_back(static_cast<uint8_t>(c));
        ++frames_;
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
                   ? plat::S_OK
                   : plat::E_FAIL;
    }
    // Empty while nothing has come (the port asks again); else the answer up to a 10 ms gap.
    plat::HRESULT ReadAnswer(plat::WideString* answer) override {
        if (answer == nullptr) return plat::E_POINTER;
        answer->clear();
        for (uint8_t b : ReadFrame(fd_, 0, 10)) answer->push_back(b);
        return plat::S_OK;
    }
    plat::HRESULT Purge() override {
        ReadFrame(fd_, 0, 0);
        return plat::S_OK;
    }
    int Frames() const { return frames_.load(); }

  private:
    int fd_;
    std::atomic<int> frames_{0};
};

// Stops the ports and unregisters the emulator when it goes out of scope: declared after the
// line and the emulator, so that no bus thread uses them once they are gone.
struct PortsStopFirst {
    ~PortsStopFirst() {
        drv::StopPorts();
        drv::SetEmulator(7, nullptr);
    }
};

class BusStation : public station::LibraryStation {
  protected:
    void TearDown() override {
        LibraryStation::TearDown();
        drv::SetEmulator(7, nullptr);
    }
    // Names in the tree under `prefix`.
    std::string Text(const std::string& item) {
        plat::Variant v;
        uint16_t q = 0;
        if (!Read(item, v, q) || v.vt != plat::VT_BSTR) return "<none>";
        return plat::WideToUtf8(v.bstrVal);
    }
    // A System item's write by a client with privilege 1; false when it did not return in 5 s.
    bool WriteSystemItem(const std::string& name, const plat::Variant& value,
                         plat::HRESULT& result) {
        auto leaf = Leaf(name, 0);
        if (!leaf) return false;
        std::atomic<bool> done{false};
        std::thread writer([&] {
            result = leaf->WriteChecked(value, 1, 2, kEnglish);
            done = true;
        });
        const bool in_time = Within(5000, [&] { return done.load(); });
        writer.join();  // a deadlock hangs here; the run's time-out names the test
        return in_time;
    }
};

TEST_F(BusStation, FieldBusPortShowsItsSystemDevice) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    Start("PORT=CUST COM7=MN19200");
    EXPECT_GE(WaitItem("System.COM7.Command"), 0);
    EXPECT_GE(WaitItem("System.COM7.TxRx"), 0);
    drv::StopPorts();
    EXPECT_LT(drv::FindItemID("System.COM7.Command"), 0) << "the library's leaves leave with it";
}

// The libmodbus peer answers a request that comes right after one for another address: the
// first is not taken for the other slave's reply.
TEST(LibmodbusPeerLine, AnswersRightAfterAFrameForAnotherAddress) {
    testsupport::PtyPair line;
    PortEnd port(line.SlavePath());
    ASSERT_GE(port.fd(), 0);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    peer.SetRegister(0, 0x1234);
    const auto other = WithCrc({9, 0x03, 0, 0, 0, 1});
    const auto mine = WithCrc({5, 0x03, 0, 0, 0, 1});
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(::write(port.fd(), other.data(), other.size()), 8);
        EXPECT_TRUE(ReadFrame(port.fd(), 100, 20).empty()) << "nobody answers for address 9";
        ASSERT_EQ(::write(port.fd(), mine.data(), mine.size()), 8);
        EXPECT_EQ(ReadFrame(port.fd(), 1000, 20), WithCrc({5, 0x03, 2, 0x12, 0x34}))
            << "round " << round;
    }
    EXPECT_EQ(peer.Ignored(), 2);
    EXPECT_EQ(peer.Served(), 2);
}

// A client captures the slave's address and reads its registers with a raw request; each
// write's result comes back through the command registry.
TEST_F(BusStation, CapturedRawRequestReadsTheSlave) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    peer.SetRegister(0, 0x1234);
    peer.SetRegister(1, 0xABCD);
    Start("PORT=CUST COM7=MN19200");
    ASSERT_GE(WaitItem("System.COM7.Command"), 0);
    ASSERT_GE(WaitItem("System.COM7.TxRx"), 0);

    EXPECT_EQ(Write("System.COM7.Command", plat::Variant::Str(u"CAPTUREW=5")), 0);
    EXPECT_EQ(Write("System.COM7.TxRx", plat::Variant::Str(u"QUERY=050300000002&RESPONSE_LEN=9")),
              0);
    EXPECT_EQ(Text("System.COM7.TxRx"), "0503041234ABCD");
    // Not captured: refused before anything is sent.
    EXPECT_EQ(Write("System.COM7.TxRx", plat::Variant::Str(u"QUERY=060300000001")), plat::E_FAIL);

    drv::StopPorts();
    EXPECT_EQ(NamesStartingWith("System.COM7."), std::vector<std::string>{});
}

// Stopping the port takes the whole System.COM7 branch, as a client browsing sees it; starting
// it again brings the same names and ids back.
TEST_F(BusStation, StoppedPortLeavesNoBranchAndComesBackUnderTheSameNames) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    Start("PORT=CUST COM7=MN19200");
    const int32_t command = WaitItem("System.COM7.Command");
    ASSERT_GE(command, 0);
    const int32_t branch = drv::FindItemID("System.COM7");
    drv::StopPorts();
    EXPECT_EQ(NamesStartingWith("System.COM7"), std::vector<std::string>{});
    EXPECT_GE(drv::FindItemID("System.AllParameters"), 0) << "System itself stays";
    drv::StartPorts();
    EXPECT_EQ(WaitItem("System.COM7.Command"), command);
    EXPECT_EQ(drv::FindItemID("System.COM7"), branch);
}

// The emulated line: the bus thread's frames go to an emulator client, which relays them to the
// slave; the slave is found (type 0x30) and its registers reach the device's items. An emulated
// port has no system device.
TEST_F(BusStation, EmulatedPortPollsTheSlaveThroughTheEmulator) {
    testsupport::PtyPair line;
    PortEnd port(line.SlavePath());
    ASSERT_GE(port.fd(), 0);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    peer.SetSlaveId(0x30);
    peer.SetRegister(8, 1234);
    auto emu = plat::MakeCom<RelayEmulator>(port.fd());
    PortsStopFirst stop_first;
    ASSERT_TRUE(drv::SetEmulator(7, plat::ComPtr<tlb::IHWEmu>(emu.Get())));
    Start("PORT=CUST COM7=MN19200E");
    ASSERT_TRUE(ReadUntil(
        "Post5.Frequency",
        [](const plat::Variant& v) { return v.vt == plat::VT_UI2 && v.uiVal == 1234; }, 30000));
    peer.SetRegister(8, 4321);
    EXPECT_TRUE(ReadUntil("Post5.Frequency", [](const plat::Variant& v) {
        return v.vt == plat::VT_UI2 && v.uiVal == 4321;
    }));
    EXPECT_LT(drv::FindItemID("System.COM7.Command"), 0);
    drv::StopPorts();
    EXPECT_EQ(NamesStartingWith("Post5."), std::vector<std::string>{});
    EXPECT_LT(drv::FindItemID("Post5"), 0) << "the device's branch leaves with its items";
    drv::SetEmulator(7, nullptr);
}

// A client's write of AllParameters or AllPortsEnable restarts ports while the bus thread
// delivers samples and creates items; the write returns in time and the port comes back.
TEST_F(BusStation, SystemItemWritesRestartBusyPortsInTime) {
    testsupport::PtyPair line;
    PortEnd port(line.SlavePath());
    ASSERT_GE(port.fd(), 0);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    peer.SetSlaveId(0x30);
    peer.SetRegister(8, 77);
    auto emu = plat::MakeCom<RelayEmulator>(port.fd());
    PortsStopFirst stop_first;
    ASSERT_TRUE(drv::SetEmulator(7, plat::ComPtr<tlb::IHWEmu>(emu.Get())));
    Start("PORT=CUST COM7=MN19200E");
    auto frequency = [](uint16_t want) {
        return [want](const plat::Variant& v) { return v.vt == plat::VT_UI2 && v.uiVal == want; };
    };
    ASSERT_TRUE(ReadUntil("Post5.Frequency", frequency(77), 30000));

    plat::HRESULT result = plat::E_FAIL;
    ASSERT_TRUE(WriteSystemItem("System.AllParameters",
                                plat::Variant::Str(u"PORT=CUST COM7=MN19200E SHIFT7=10"), result));
    EXPECT_EQ(result, plat::S_OK);
    EXPECT_TRUE(ReadUntil("Post15.Frequency", frequency(77), 30000)) << "restarted with shift 10";

    ASSERT_TRUE(WriteSystemItem("System.AllPortsEnable", plat::Variant::Bool(false), result));
    EXPECT_EQ(result, plat::S_OK);
    EXPECT_FALSE(drv::PortRunning(6));
    ASSERT_TRUE(WriteSystemItem("System.AllPortsEnable", plat::Variant::Bool(true), result));
    EXPECT_EQ(result, plat::S_OK);
    peer.SetRegister(8, 78);
    EXPECT_TRUE(ReadUntil("Post15.Frequency", frequency(78), 30000));
}

// Stopping a bus thread waits for its exchange under way, and a client may hold one up to 10 s
// (a raw request to a silent address). A System item's write does not wait for that: it
// returns in time and the port comes back once the exchange is over.
TEST_F(BusStation, SystemItemWriteReturnsWhileTheBusThreadWaitsOnASilentAddress) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 5);
    Start("PORT=CUST COM7=MN19200");
    auto hold_the_line = [&] {
        ASSERT_EQ(Write("System.COM7.Command", plat::Variant::Str(u"CAPTUREW=9")), 0);
        auto txrx = Leaf("System.COM7.TxRx", 0);
        ASSERT_TRUE(txrx);
        EXPECT_TRUE(drv::IsCmdID(txrx->WriteChecked(
            plat::Variant::Str(u"QUERY=090300000001&TIMEOUT=7000"), 0, 2, kEnglish)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the exchange is on
    };
    ASSERT_GE(WaitItem("System.COM7.Command"), 0);
    hold_the_line();
    plat::HRESULT result = plat::E_FAIL;
    EXPECT_TRUE(WriteSystemItem("System.AllParameters",
                                plat::Variant::Str(u"PORT=CUST COM7=MN19200 SHIFT7=1"), result));
    EXPECT_EQ(result, plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(Leaf("System.AllParameters", 0)->PeekValue().bstrVal),
              "PORT=CUST COM7=MN19200 SHIFT7=1");
    EXPECT_TRUE(Within(20000, [] { return drv::PortRunning(6) && drv::PortStatus(6) >= 0; }));
    ASSERT_GE(WaitItem("System.COM7.Command"), 0);

    hold_the_line();
    EXPECT_TRUE(WriteSystemItem("System.AllPortsEnable", plat::Variant::Bool(false), result));
    EXPECT_EQ(result, plat::S_OK);
    EXPECT_TRUE(Within(20000, [] { return !drv::PortRunning(6); }));
    EXPECT_EQ(NamesStartingWith("System.COM7"), std::vector<std::string>{});
}

}  // namespace
