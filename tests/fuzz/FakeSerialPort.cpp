#include "tests/fuzz/FakeSerialPort.h"

#include <stdexcept>

std::string FakeSerialPort::answerTo(const std::string& written) {
    if (written.empty()) return {};
    const size_t n = static_cast<unsigned char>(written[0]) % 41;
    std::string answer;
    for (size_t i = 0; i < n; ++i) {
        answer += static_cast<char>(static_cast<unsigned char>(written[i % written.size()]) ^ (i * 37));
    }
    return answer;
}

std::string FakeSerialPort::written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

void FakeSerialPort::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.clear();
    pending_.clear();
}

void FakeSerialPort::write(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    written_ += bytes;
    for (char c : answerTo(bytes)) pending_.push_back(static_cast<unsigned char>(c));
}

void FakeSerialPort::putData(const Serlib::Bytes& data, int off, int dLen) {
    if (off < 0 || dLen < 0 || static_cast<size_t>(off) + static_cast<size_t>(dLen) > data.size()) {
        throw std::out_of_range("putData: range");
    }
    write(std::string(data.begin() + off, data.begin() + off + dLen));
}

int FakeSerialPort::getByte() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return -1;
    const int b = pending_.front();
    pending_.pop_front();
    return b;
}

int FakeSerialPort::getData(Serlib::Bytes* buf, int off, int len) {
    if (buf == nullptr) return 0;
    if (off < 0 || len < 0 || static_cast<size_t>(off) + static_cast<size_t>(len) > buf->size()) {
        throw std::out_of_range("getData: range");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    while (n < len && !pending_.empty()) {
        (*buf)[static_cast<size_t>(off + n)] = pending_.front();
        pending_.pop_front();
        ++n;
    }
    return n;
}

int FakeSerialPort::rxFlush() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    return 0;
}

int FakeSerialPort::rxReadyCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(pending_.size());
}
