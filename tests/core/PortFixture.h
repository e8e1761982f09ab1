// The fixture of the native-port tests: a scripted controller on a pseudo-terminal, an
// emulator client as registered through the emulator table, and the port log read back.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/NativePort.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tests/support/ZrnOracle.h"

namespace porttest {

using namespace drv;
using testsupport::AnswerFrame;
using testsupport::PtyPair;
using testsupport::RequestFrame;

inline constexpr const char* kDrvKey = "\\Software\\Norvalt\\Drv";
inline constexpr uint32_t kFastBaud = 115200;

struct Owner final : IPortOwner {
    std::vector<int> states;
    int cleared = 0;
    void SetPortState(int code) override { states.push_back(code); }
    void ClearSeen() override { ++cleared; }
    int Last() const { return states.empty() ? 999 : states.back(); }
};

// --- a scripted controller on the far end of a pseudo-terminal --------------------------------

struct Reply {
    bool silent = false;       // no answer (with echo: only the echo)
    bool echo = false;         // the request comes back in front of the answer
    std::string data = "123";  // answer data
    int cs_delta = 0;          // added to the correct checksum
    char first = 'A';
    int addr = -1;          // answer address byte; -1: the request's
    int split_ms = 0;       // answer in two halves this far apart
    bool cut_last = false;  // the final 'E' is lost
    std::string trailing;   // garbage after the answer
};

class FarEnd {
  public:
    FarEnd(PtyPair& pty, size_t request_len) : pty_(pty), len_(request_len) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FarEnd() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void Set(Reply r) {
        std::lock_guard<std::mutex> lk(m_);
        reply_ = std::move(r);
    }
    int Requests() const { return requests_.load(); }
    int Malformed() const { return malformed_.load(); }
    std::string LastRequest() {
        std::lock_guard<std::mutex> lk(m_);
        return last_;
    }

  private:
    void Run() {
        std::string buf;
        while (!stop_) {
            buf += pty_.ReadFar(len_ - buf.size(), 10);
            if (buf.size() < len_) continue;
            std::string req;
            req.swap(buf);
            if (req != RequestFrame(static_cast<uint8_t>(req[1]), static_cast<uint8_t>(req[2]),
                                    req.substr(3, len_ - 5))) {
                ++malformed_;
                continue;
            }
            Reply r;
            {
                std::lock_guard<std::mutex> lk(m_);
                r = reply_;
                last_ = req;
            }
            ++requests_;
            std::string out = r.echo ? req : std::string();
            if (!r.silent) {
                std::string ans = AnswerFrame(
                    r.addr < 0 ? static_cast<uint8_t>(req[1]) : static_cast<uint8_t>(r.addr),
                    static_cast<uint8_t>(req[2]), r.data, r.cs_delta);
                ans[0] = r.first;
                if (r.cut_last) ans.pop_back();
                out += ans + r.trailing;
            }
            if (r.split_ms > 0 && out.size() > 1) {
                pty_.WriteFar(out.substr(0, out.size() / 2));
                std::this_thread::sleep_for(std::chrono::milliseconds(r.split_ms));
                pty_.WriteFar(out.substr(out.size() / 2));
            } else if (!out.empty()) {
                pty_.WriteFar(out);
            }
        }
    }

    PtyPair& pty_;
    size_t len_;
    std::mutex m_;
    Reply reply_;
    std::string last_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> malformed_{0};
    std::thread thread_;
};

// --- an emulator client as registered through the emulator table -----------------------------

class TestEmu final : public tlb::IHWEmu {
  public:
    plat::HRESULT QueryInterface(const plat::IID& iid, void** out) override {
        if (iid == plat::IID_IUnknown || iid == tlb::IHWEmu::GetIID()) {
            *out = static_cast<tlb::IHWEmu*>(this);
            AddRef();
            return plat::S_OK;
        }
        *out = nullptr;
        return plat::E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }  // lives on the test's stack
    plat::HRESULT WriteCall(const plat::WideString& call) override {
        calls.push_back(call);
        pending = reply ? plat::BytesToWide(reply(plat::WideToBytes(call))) : plat::WideString();
        return plat::S_OK;
    }
    plat::HRESULT ReadAnswer(plat::WideString* answer) override {
        *answer = std::move(pending);
        pending.clear();
        return plat::S_OK;
    }
    plat::HRESULT Purge() override {
        ++purges;
        pending.clear();
        return plat::S_OK;
    }

    std::atomic<uint32_t> refs{1};
    std::function<std::string(const std::string& frame)> reply;  // "" = silent
    std::vector<plat::WideString> calls;
    plat::WideString pending;
    int purges = 0;
};

// The answer a well-behaved controller gives: data "123" to any request.
inline std::string GoodAnswer(const std::string& frame) {
    return AnswerFrame(static_cast<uint8_t>(frame[1]), static_cast<uint8_t>(frame[2]), "123");
}

// Port log lines without the level prefix and the time.
inline std::vector<std::string> LogLines(const std::string& path) {
    std::string all = testsupport::ReadFile(path);
    std::vector<std::string> out;
    size_t pos = all.find("\r\n");  // skip the header
    while (pos != std::string::npos && pos + 2 < all.size()) {
        size_t start = pos + 2;
        pos = all.find("\r\n", start);
        std::string line =
            all.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (line.rfind("ext ", 0) == 0 || line.rfind("cri ", 0) == 0) line.erase(0, 4);
        if (line.size() >= 9) line.erase(0, 9);  // "HH:MM:SS "
        out.push_back(line);
    }
    return out;
}

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                         "PROTOCOL=4"),
                  plat::ERROR_SUCCESS);
        InitProtocol(kDrvKey, "Parameters");
    }
    void TearDown() override {
        line_.reset();
        pty_.reset();
        DoneProtocol();
        ClearEmulators();
    }
    // COM7 on a pseudo-terminal, a well-behaved controller at the far end, the port open.
    struct Line {
        Line(PtyPair& pty, Owner* owner) : far(pty, 7), port(owner, kFastBaud, false, 7) {}
        FarEnd far;
        TZrnPort port;
    };
    void OpenLine() {
        pty_.emplace(7);
        line_ = std::make_unique<Line>(*pty_, &owner_);
        ASSERT_EQ(line_->port.Open(), kPortOk);
    }
    std::string LogFile(int com) const {
        return root_.Path() + "/c/NorvaltDrv" + std::to_string(com) + ".LG1";
    }
    // COM9 mapped to a device that does not exist, opened and dropped at once, as a custom-mode
    // port whose COM port does not exist.
    void OpenAndDropMissingCom9() {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                   "COM9", "/nonexistent/ttyNone"),
            plat::ERROR_SUCCESS);
        TZrnPort missing(&owner_, 4800, false, 9);
        EXPECT_EQ(missing.Open(), kPortNotFound);
    }

    testsupport::TempRoot root_;
    Owner owner_;
    TestEmu emu_;  // outlives the emulator table's reference, dropped in TearDown
    std::optional<PtyPair> pty_;
    std::unique_ptr<Line> line_;
};

}  // namespace porttest
