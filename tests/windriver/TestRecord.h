#pragma once
// A driver configuration record with name bytes of its own, set as the
// library sets them (9600 bit/s, 8 data bits, no parity, one stop bit).
#include <cstdint>
#include <string>

#include "Serlib/SerDriver.h"

namespace windriver {

class TestRecord {
public:
    explicit TestRecord(std::string name = "", int32_t port = 0) : name_(std::move(name)) {
        rec_.port = port;
        rec_.txLen = 2048;
        rec_.rxLen = 4096;
        rec_.bitRate = 7;
        rec_.dataBits = 3;
    }
    TestRecord(const TestRecord&) = delete;
    TestRecord& operator=(const TestRecord&) = delete;

    // A record without a name carries one zero byte.
    SerConfigRec* get() {
        rec_.portName = name_.empty() ? &kNoName : reinterpret_cast<const uint8_t*>(name_.data());
        rec_.portNameLen = name_.empty() ? 1 : static_cast<int32_t>(name_.size());
        rec_.baseName = &kNoName;
        rec_.baseNameLen = 1;
        return &rec_;
    }
    SerConfigRec& fields() { return rec_; }

private:
    static constexpr uint8_t kNoName = 0;
    std::string name_;
    SerConfigRec rec_{};
};

// Every operation given handle reports failure.
void expectEveryOperationFails(int32_t handle);

}  // namespace windriver
