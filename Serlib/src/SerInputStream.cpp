#include "Serlib/SerInputStream.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

namespace Serlib {

namespace {

// The port's receive timeout is 0 once the stream exists, so each poll
// returns at once; this interval bounds both the added latency and the
// processor use of an idle reader.
constexpr std::chrono::milliseconds kPollInterval(20);

}  // namespace

SerInputStream::SerInputStream(std::shared_ptr<SerialPort> port) : sp(std::move(port)) {
    if (!sp || sp->getPortNum() < 0) {
        throw IOError("Port not open");
    }
    sp->setTimeoutRx(0);
}

int SerInputStream::read() {
    for (;;) {
        const int b = sp->getByte();
        if (b != -1) {
            return b;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

int SerInputStream::read(Bytes& b) {
    // Nothing can ever fill an empty array; waiting for it would hang the
    // caller for good.
    if (b.empty()) {
        return 0;
    }
    for (;;) {
        const int n = sp->getData(b);
        if (n > 0) {
            return n;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

int SerInputStream::read(Bytes* b, int off, int len) {
    // Checked before reading: bytes taken from the port are never dropped.
    if (off < 0 || len < 0 || (b != nullptr && static_cast<int64_t>(off) + len > static_cast<int64_t>(b->size()))) {
        throw std::out_of_range("read: range " + std::to_string(off) + "+" + std::to_string(len) +
                                " does not fit the array");
    }
    Bytes tmp(static_cast<size_t>(len));
    const int n = read(tmp);
    if (b == nullptr) {
        return 0;
    }
    std::copy(tmp.begin(), tmp.begin() + n, b->begin() + off);
    return n;
}

int SerInputStream::available() {
    return sp->rxReadyCount();
}

void SerInputStream::close() {
    sp->close();
}

}  // namespace Serlib
