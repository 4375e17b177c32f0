#include "Serlib/drivers/win/Port.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include "Serlib/drivers/win/IoRequest.h"
#include "Serlib/drivers/win/OpenResult.h"
#include "Serlib/drivers/win/UniqueHandle.h"

namespace sdrv {

namespace {

using Clock = std::chrono::steady_clock;

// The queue a device is asked for when the record gives only the other one.
constexpr DWORD kDefaultQueue = 4096;
// A read of bytes already waiting ends at once; a driver that completes it
// later (USB adapters do) gets this long before the read is cancelled.
constexpr DWORD kReadCompletionMs = 100;
// The step of a wait that polls a device without events.
constexpr DWORD kPollStepMs = 1;
// A break the caller gives no length; a break longer than the longest holds
// the line (and the port) for no purpose.
constexpr int32_t kStandardBreakMs = 250;
constexpr int32_t kLongestBreakMs = 10000;

int32_t countResult(DWORD n) {
    return n > static_cast<DWORD>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

DWORD msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
}

}  // namespace

Port::Port(PortName name, int32_t number) : name_(std::move(name)), number_(number) {}

int32_t Port::open(const SerConfigRec& cfg) {
    const int32_t txLen = cfg.txLen;
    const int32_t rxLen = cfg.rxLen;
    UniqueHandle closing(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!closing.valid()) {
        return SER_ERRNO_BASE + static_cast<int32_t>(::GetLastError());
    }
    // Share mode 0: Windows gives a communications device to one opener.
    // Overlapped, so every wait has a bound and the port's closing ends it.
    UniqueHandle device(::CreateFileA(name_.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
    if (!device.valid()) {
        return openResultFor(::GetLastError());
    }
    // A name may open something that is no serial port: NUL, a file, or a
    // COM name without a device behind it.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (::GetFileType(device.get()) != FILE_TYPE_CHAR || !::GetCommState(device.get(), &dcb)) {
        return SER_OPEN_NOT_VALID;
    }
    if (txLen > 0 || rxLen > 0) {
        // A recommendation the driver may round or ignore; the port works
        // with the queues it has.
        static_cast<void>(::SetupComm(device.get(), rxLen > 0 ? static_cast<DWORD>(rxLen) : kDefaultQueue,
                                      txLen > 0 ? static_cast<DWORD>(txLen) : kDefaultQueue));
    }
    COMMPROP props{};
    if (::GetCommProperties(device.get(), &props) && props.dwCurrentRxQueue > 0) {
        rxQueue_ = props.dwCurrentRxQueue;
    } else if (rxLen > 0) {
        rxQueue_ = static_cast<DWORD>(rxLen);
    }
    // A read returns at once with what is waiting: time-outs are kept above
    // the device. Writes have no device time-out; the send time-out bounds
    // the wait for them here.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!::SetCommTimeouts(device.get(), &timeouts)) {
        return SER_ERRNO_BASE + static_cast<int32_t>(::GetLastError());
    }
    if (!::SetCommMask(device.get(), EV_RXCHAR)) {
        eventsWork_.store(false);
    }
    if (dcb.fAbortOnError) {
        // Left on by an earlier user, it would fail reads and writes after
        // any line error until the errors were cleared.
        dcb.fAbortOnError = FALSE;
        if (!::SetCommState(device.get(), &dcb)) {
            return SER_ERRNO_BASE + static_cast<int32_t>(::GetLastError());
        }
    }
    device_ = std::make_unique<DeviceHandle>(std::move(device), std::move(closing));
    return 0;
}

void Port::close() {
    if (device_) {
        device_->close();
    }
}

int32_t Port::openState() const {
    return device_ && !device_->closed() ? 0 : -1;
}

bool Port::queueStatus(const DeviceHandle::Use& use, COMSTAT& stat) {
    DWORD errors = 0;
    if (!::ClearCommError(use.device(), &errors, &stat)) {
        return false;
    }
    errors_.add(errors);
    return true;
}

int32_t Port::configure(const LineSettings& settings) {
    const DeviceHandle::Use use = device_->use();
    if (!use) {
        return SER_CONFIG_NOT_OPEN;
    }
    std::lock_guard<std::mutex> lock(controlMutex_);
    DCB present{};
    present.DCBlength = sizeof(DCB);
    if (!::GetCommState(use.device(), &present)) {
        return SER_ERRNO_BASE + static_cast<int32_t>(::GetLastError());
    }
    DCB wanted = dcbFor(present, settings, lines_, rxQueue_);
    return ::SetCommState(use.device(), &wanted) ? 0 : SER_CONFIG_BAD_SETTING;
}

int32_t Port::putData(const uint8_t* data, int32_t count) {
    if (count < 0 || (data == nullptr && count > 0)) {
        return -1;
    }
    const DeviceHandle::Use use = device_->use();
    if (!use) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(writeMutex_);
    // A send time-out of 0 sets no limit: the write waits as the line needs.
    const int32_t limit = timeoutTx_.load();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit);
    int32_t sent = 0;
    while (sent < count) {
        DWORD waitMs = INFINITE;
        if (limit > 0) {
            waitMs = msLeft(deadline);
            if (waitMs == 0) {
                break;  // time-out: fewer bytes, not an error
            }
        }
        IoRequest request;
        if (!request.valid()) {
            break;
        }
        const IoOutcome out = request.run(use, waitMs, [&](OVERLAPPED* ov) {
            return ::WriteFile(use.device(), data + sent, static_cast<DWORD>(count - sent), nullptr, ov);
        });
        sent += countResult(out.count);
        // Cut short by the time-out or the port's closing, or dropped by
        // SerTxFlush in another thread: the count so far is the answer.
        if (out.cutShort || out.error == ERROR_OPERATION_ABORTED) {
            break;
        }
        if (out.error != 0) {
            return sent > 0 ? sent : -1;
        }
        if (out.count == 0) {
            break;  // a device that takes nothing would be asked forever
        }
    }
    return sent;
}

int32_t Port::getData(uint8_t* buf, int32_t count) {
    if (count < 0 || (buf == nullptr && count > 0)) {
        return -1;
    }
    const DeviceHandle::Use use = device_->use();
    if (!use) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(readMutex_);
    COMSTAT stat{};
    if (!queueStatus(use, stat)) {
        return -1;
    }
    const DWORD wanted = std::min(static_cast<DWORD>(count), stat.cbInQue);
    if (wanted == 0) {
        return 0;
    }
    IoRequest request;
    if (!request.valid()) {
        return -1;
    }
    const IoOutcome out = request.run(use, kReadCompletionMs, [&](OVERLAPPED* ov) {
        return ::ReadFile(use.device(), buf, wanted, nullptr, ov);
    });
    if (out.count > 0 || out.cutShort || out.error == 0 || out.error == ERROR_OPERATION_ABORTED) {
        return countResult(out.count);
    }
    return -1;
}

int32_t Port::rxReadyCount() {
    const DeviceHandle::Use use = device_->use();
    COMSTAT stat{};
    if (!use || !queueStatus(use, stat)) {
        return -1;
    }
    return countResult(stat.cbInQue);
}

bool Port::waitEvent(const DeviceHandle::Use& use, DWORD ms) {
    IoRequest request;
    if (!request.valid()) {
        eventsWork_.store(false);
        return true;
    }
    DWORD events = 0;
    const IoOutcome out = request.run(use, ms, [&](OVERLAPPED* ov) { return ::WaitCommEvent(use.device(), &events, ov); });
    if (out.closing) {
        return false;
    }
    // A request that failed by itself, not by the end of the wait, says the
    // device cannot report events (or not now): it is polled from then on.
    if (!out.cutShort && out.error != 0) {
        eventsWork_.store(false);
    }
    return true;
}

int32_t Port::waitRx(int32_t ms) {
    if (ms < 0) {
        return -1;
    }
    const DeviceHandle::Use use = device_->use();
    if (!use) {
        return -1;
    }
    // One wait at a time: a device has a single pending WaitCommEvent.
    std::lock_guard<std::mutex> lock(waitMutex_);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        COMSTAT stat{};
        if (!queueStatus(use, stat)) {
            return -1;
        }
        if (stat.cbInQue > 0) {
            return countResult(stat.cbInQue);
        }
        const DWORD left = msLeft(deadline);
        if (left == 0) {
            return 0;
        }
        // An event may be left from a byte read since; the count above
        // decides, and the loop waits again.
        if (eventsWork_.load()) {
            if (!waitEvent(use, left)) {
                return -1;
            }
        } else if (::WaitForSingleObject(use.closing(), std::min(left, kPollStepMs)) == WAIT_OBJECT_0) {
            return -1;
        }
    }
}

int32_t Port::txBufCount() {
    const DeviceHandle::Use use = device_->use();
    COMSTAT stat{};
    if (!use || !queueStatus(use, stat)) {
        return -1;
    }
    return countResult(stat.cbOutQue);
}

int32_t Port::rxFlush() {
    const DeviceHandle::Use use = device_->use();
    return use && ::PurgeComm(use.device(), PURGE_RXCLEAR) ? 0 : -1;
}

int32_t Port::txFlush() {
    const DeviceHandle::Use use = device_->use();
    if (!use || !::PurgeComm(use.device(), PURGE_TXABORT | PURGE_TXCLEAR)) {
        return -1;
    }
    // What was dropped is what a stalled write left behind, so output starts
    // afresh: an XOFF from the far end no longer holds it. Both calls, so
    // the output ends as after an XON on every device: wine passes them to
    // the terminal as tcflow(TCOOFF) and tcflow(TCOON), and Linux restarts
    // output stopped by an XOFF only after a TCOOFF. A device without
    // XON/XOFF has nothing to restart and may refuse, which changes nothing.
    static_cast<void>(::EscapeCommFunction(use.device(), SETXOFF));
    static_cast<void>(::EscapeCommFunction(use.device(), SETXON));
    return 0;
}

int32_t Port::txDrain() {
    const DeviceHandle::Use use = device_->use();
    return use && ::FlushFileBuffers(use.device()) ? 0 : -1;
}

int32_t Port::modemSignal(ModemSignal which) {
    DWORD bit = MS_CTS_ON;
    switch (which) {
        case ModemSignal::Cts: bit = MS_CTS_ON; break;
        case ModemSignal::Dsr: bit = MS_DSR_ON; break;
        case ModemSignal::CarrierDetect: bit = MS_RLSD_ON; break;
        case ModemSignal::Ring: bit = MS_RING_ON; break;
    }
    const DeviceHandle::Use use = device_->use();
    DWORD status = 0;
    // A device without modem lines (wine's pseudo-terminals) fails this.
    if (!use || !::GetCommModemStatus(use.device(), &status)) {
        return -1;
    }
    return (status & bit) != 0 ? 1 : 0;
}

int32_t Port::lineEventSeen(LineEvent which) {
    DWORD bits = CE_FRAME;
    switch (which) {
        case LineEvent::Frame: bits = CE_FRAME; break;
        case LineEvent::Overrun: bits = CE_OVERRUN; break;
        case LineEvent::Parity: bits = CE_RXPARITY; break;
        case LineEvent::Break: bits = CE_BREAK; break;
        case LineEvent::RxOverflow: bits = CE_RXOVER; break;
    }
    const DeviceHandle::Use use = device_->use();
    COMSTAT stat{};
    if (!use || !queueStatus(use, stat)) {
        return -1;
    }
    return errors_.take(bits) ? 1 : 0;
}

int32_t Port::setModemLine(ModemLine line, bool on) {
    const DeviceHandle::Use use = device_->use();
    if (!use) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(controlMutex_);
    // Remembered even when the device refuses: the next DCB asks for it.
    DWORD function = 0;
    if (line == ModemLine::Dtr) {
        lines_.dtr = on;
        function = on ? SETDTR : CLRDTR;
    } else {
        lines_.rts = on;
        function = on ? SETRTS : CLRRTS;
    }
    // Refused while the line does handshaking (DSR/DTR, CTS/RTS): it is the
    // device's then.
    return ::EscapeCommFunction(use.device(), function) ? 0 : -1;
}

int32_t Port::sendBreak(int32_t ms) {
    const DeviceHandle::Use use = device_->use();
    if (!use || !::EscapeCommFunction(use.device(), SETBREAK)) {
        return -1;
    }
    const int32_t length = ms <= 0 ? kStandardBreakMs : std::min(ms, kLongestBreakMs);
    // The port's closing ends the break early; the line is freed either way.
    static_cast<void>(::WaitForSingleObject(use.closing(), static_cast<DWORD>(length)));
    return ::EscapeCommFunction(use.device(), CLRBREAK) ? 0 : -1;
}

int32_t Port::setBreak(bool on) {
    const DeviceHandle::Use use = device_->use();
    return use && ::EscapeCommFunction(use.device(), on ? SETBREAK : CLRBREAK) ? 0 : -1;
}

int32_t Port::setTimeoutRx(int32_t ms) {
    if (ms < 0 || openState() != 0) {
        return -1;
    }
    timeoutRx_.store(ms);
    return 0;
}

int32_t Port::setTimeoutTx(int32_t ms) {
    if (ms < 0 || openState() != 0) {
        return -1;
    }
    timeoutTx_.store(ms);
    return 0;
}

int32_t Port::timeoutRx() const {
    return openState() == 0 ? timeoutRx_.load() : -1;
}

int32_t Port::timeoutTx() const {
    return openState() == 0 ? timeoutTx_.load() : -1;
}

}  // namespace sdrv
