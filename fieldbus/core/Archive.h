// Stored settings: a little-endian byte stream written and read field by field in a fixed order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mb {

class CArchive {
  public:
    // Storing into an empty stream.
    CArchive() = default;
    // Loading from stored bytes.
    explicit CArchive(std::vector<uint8_t> data) : data_(std::move(data)), loading_(true) {}

    bool IsStoring() const { return !loading_; }
    bool IsLoading() const { return loading_; }
    // A load ran past the end; every later read gives 0.
    bool Failed() const { return failed_; }
    const std::vector<uint8_t>& Data() const { return data_; }

    CArchive& operator<<(uint8_t v) { return Put(v, 1); }
    CArchive& operator<<(uint16_t v) { return Put(v, 2); }
    CArchive& operator<<(uint32_t v) { return Put(v, 4); }
    CArchive& operator>>(uint8_t& v) {
        v = static_cast<uint8_t>(Get(1));
        return *this;
    }
    CArchive& operator>>(uint16_t& v) {
        v = static_cast<uint16_t>(Get(2));
        return *this;
    }
    CArchive& operator>>(uint32_t& v) {
        v = static_cast<uint32_t>(Get(4));
        return *this;
    }

  private:
    CArchive& Put(uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    uint32_t Get(int bytes) {
        if (failed_ || data_.size() - pos_ < static_cast<size_t>(bytes)) {
            failed_ = true;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= uint32_t{data_[pos_++]} << (8 * i);
        return v;
    }

    std::vector<uint8_t> data_;
    size_t pos_ = 0;
    bool loading_ = false;
    bool failed_ = false;
};

}  // namespace mb
