// Shared pieces of the item-store and device tests: a log that keeps its lines in memory, a
// host that records command results, and a plain device item.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fieldbus/core/DeviceItem.h"
#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/WriteQueue.h"
#include "tests/support/Eventually.h"

namespace fbtest {

using testsupport::Eventually;

// Lines of every level, "E:", "W:", "I:", "T:" or "A:" in front.
class MemoryLog : public mb::CLogFile {
  public:
    MemoryLog() : mb::CLogFile("StoreTest.lg") {}
#define FBTEST_LOG_KIND(Name, tag)             \
    bool Name(const char* fmt, ...) override { \
        va_list ap;                            \
        va_start(ap, fmt);                     \
        Add(tag, fmt, ap);                     \
        va_end(ap);                            \
        return true;                           \
    }
    FBTEST_LOG_KIND(Info, "I:")
    FBTEST_LOG_KIND(Warning, "W:")
    FBTEST_LOG_KIND(Trace, "T:")
    FBTEST_LOG_KIND(Error, "E:")
    FBTEST_LOG_KIND(Always, "A:")
#undef FBTEST_LOG_KIND

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lk(m_);
        return lines_;
    }
    size_t Count(const std::string& part) {
        std::lock_guard<std::mutex> lk(m_);
        size_t n = 0;
        for (const auto& l : lines_) n += l.find(part) != std::string::npos;
        return n;
    }

  private:
    void Add(const char* tag, const char* fmt, va_list ap) {
        char buf[1100];
        vsnprintf(buf, sizeof buf, fmt, ap);
        std::lock_guard<std::mutex> lk(m_);
        lines_.push_back(std::string(tag) + buf);
    }
    std::mutex m_;
    std::vector<std::string> lines_;
};

// Ids from 1 up; remembers every result and which ids the test has cancelled. The host's
// table holds plain functions, so they reach the one live recording host through a global.
class RecordingHost {
  public:
    RecordingHost() {
        Current() = this;
        host.pCmdNewID = [] { return Current()->NewId(); };
        host.pCmdSetResult = [](int32_t id, int32_t result) { Current()->SetResult(id, result); };
        host.pCmdIsCancelled = [](int32_t id) -> uint8_t { return Current()->IsCancelled(id); };
        host.pItemFind = [](const char16_t* name, int16_t* flag, int32_t* h) -> int32_t {
            auto& f = Current()->item_find;
            return f ? f(plat::WideString(name), *flag, *h) : -1;
        };
        host.pItemCreate = [](mb::IModbusItem* item, const char16_t* name, plat::VARTYPE vt,
                              uint8_t access, int32_t parent, const char* description,
                              int32_t* h) -> int32_t {
            auto& f = Current()->item_create;
            return f ? f(item, plat::WideString(name), vt, access, parent, description, *h) : -1;
        };
        host.pSearchFlag = &search;
    }
    ~RecordingHost() {
        if (Current() == this) Current() = nullptr;
    }
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    void ThrowOnNextId() {
        std::lock_guard<std::mutex> lk(m_);
        throw_next_id_ = true;
    }
    void Cancel(int32_t id) {
        std::lock_guard<std::mutex> lk(m_);
        cancelled_[id] = true;
    }
    std::vector<std::pair<int32_t, int32_t>> Results() {
        std::lock_guard<std::mutex> lk(m_);
        return results_;
    }
    int32_t LastId() {
        std::lock_guard<std::mutex> lk(m_);
        return last_id_;
    }

    mb::HostCallbacks host;
    mb::SearchFlag search{0};
    // pItemFind (full name, out flag, out handle) -> handle, < 0 not found
    std::function<int32_t(const plat::WideString&, int16_t&, int32_t&)> item_find;
    // pItemCreate (item, name, VARTYPE, access, parent, description, out handle) -> handle
    std::function<int32_t(mb::IModbusItem*, const plat::WideString&, plat::VARTYPE, uint8_t,
                          int32_t, const char*, int32_t&)>
        item_create;

  private:
    static RecordingHost*& Current() {
        static RecordingHost* current = nullptr;
        return current;
    }
    int32_t NewId() {
        std::lock_guard<std::mutex> lk(m_);
        if (throw_next_id_) {
            throw_next_id_ = false;
            throw std::runtime_error("no id");
        }
        return ++last_id_;
    }
    void SetResult(int32_t id, int32_t result) {
        std::lock_guard<std::mutex> lk(m_);
        results_.emplace_back(id, result);
    }
    uint8_t IsCancelled(int32_t id) {
        std::lock_guard<std::mutex> lk(m_);
        return cancelled_.count(id) != 0 ? 1 : 0;
    }

    std::mutex m_;
    int32_t last_id_ = 0;
    bool throw_next_id_ = false;
    std::map<int32_t, bool> cancelled_;
    std::vector<std::pair<int32_t, int32_t>> results_;
};

class TestItem : public mb::CDeviceItem {
  public:
    explicit TestItem(std::string name, uint16_t reg = 0, plat::VARTYPE vt = plat::VT_I4,
                      bool read_only = false)
        : name_(std::move(name)), reg_(reg), vt_(vt), read_only_(read_only) {}
    std::string ItemName() const override { return name_; }
    uint16_t ItemRegister() const override { return reg_; }
    plat::VARTYPE RawType() const override { return vt_; }
    bool IsReadOnly() const override { return read_only_; }
    bool TakeReadBackMark() override {
        bool was = marked;
        marked = false;
        return was;
    }
    void NewSample(plat::Variant value, uint16_t q, uint64_t time) override {
        samples.push_back(std::move(value));
        quality = q;
        stamp = time;
    }
    void SetQuality(uint16_t q, uint64_t time) override {
        quality = q;
        stamp = time;
    }

    bool marked = false;
    std::vector<plat::Variant> samples;
    uint16_t quality = 0xFFFF;
    uint64_t stamp = 0;

  private:
    std::string name_;
    uint16_t reg_;
    plat::VARTYPE vt_;
    bool read_only_;
};

}  // namespace fbtest

#include "fieldbus/core/Device.h"

namespace fbtest {

class FakePort : public mb::IDevicePort {
  public:
    FakePort(MemoryLog* log, RecordingHost* host, mb::CModbus* modbus = nullptr)
        : log_(log), host_(host), modbus_(modbus) {}
    mb::CModbus* PortModbus() override { return modbus_; }
    mb::CLogFile* PortLog() override { return log_; }
    const mb::HostCallbacks* PortHost() override { return &host_->host; }
    int32_t CaptureCount(uint8_t address) override {
        auto it = captures.find(address);
        return it == captures.end() ? 0 : it->second;
    }
    bool IsRealPort() override { return real; }
    std::map<uint8_t, int32_t> captures;
    bool real = true;

  private:
    MemoryLog* log_;
    RecordingHost* host_;
    mb::CModbus* modbus_;
};

}  // namespace fbtest
