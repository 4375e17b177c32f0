#include "Serlib/SerOutputStream.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

namespace Serlib {

namespace {

// The largest send timeout the driver takes: a write waits as long as the
// device needs.
constexpr int kSendTimeoutMs = 2147483647;

}  // namespace

SerOutputStream::SerOutputStream(std::shared_ptr<SerialPort> port) : sp(std::move(port)) {
    if (!sp || sp->getPortNum() < 0) {
        throw IOError("Port not open");
    }
    sp->setTimeoutTx(kSendTimeoutMs);
}

void SerOutputStream::write(int b) {
    sp->putByte(static_cast<unsigned char>(b & 0xFF));
}

void SerOutputStream::write(const Bytes& b) {
    sp->putData(b);
}

void SerOutputStream::write(const Bytes& b, int off, int len) {
    if (off < 0 || len < 0 || static_cast<int64_t>(off) + len > static_cast<int64_t>(b.size())) {
        throw std::out_of_range("write: range " + std::to_string(off) + "+" + std::to_string(len) +
                                " does not fit an array of " + std::to_string(b.size()));
    }
    sp->putData(Bytes(b.begin() + off, b.begin() + off + len));
}

void SerOutputStream::flush() {
    // The driver offers no wait for "send buffer empty" through this
    // interface, so the count is polled; yielding keeps other threads going.
    while (sp->txBufCount() > 0) {
        std::this_thread::yield();
    }
}

}  // namespace Serlib
