#pragma once
// One open serial port of the driver: the device opened by its name,
// overlapped, and what the upper layer last asked of it. Operations of one
// port may run in several threads at once: a write that waits for the line
// does not hold up a thread asking for the ready count. Writes are
// serialised among themselves, as are reads and waits, so the bytes of two
// writes never interleave.
//
// Reads never wait: a read takes at most the count ClearCommError reports
// waiting (an overlapped read for more would wait, whatever the device's
// time-outs say, under some drivers and under wine). A write waits at most
// the send time-out, then is cancelled and returns the count sent so far.
// SerWaitRx waits with WaitCommEvent(EV_RXCHAR); a device that cannot report
// events (wine fails the request on a pseudo-terminal) is polled every
// millisecond instead.
//
// A device that goes away while open (a USB adapter pulled) makes the
// operations fail until the port is closed and opened again.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Serlib/drivers/common/LineSignals.h"
#include "Serlib/drivers/win/DeviceHandle.h"
#include "Serlib/drivers/win/ErrorLatch.h"
#include "Serlib/drivers/win/LineSettings.h"
#include "Serlib/drivers/win/PortName.h"

namespace sdrv {

class Port {
public:
    Port(PortName name, int32_t number);
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int32_t number() const { return number_; }
    const PortName& portName() const { return name_; }
    // Whether this port is the device that name opens: "COM3" and
    // "\\.\com3" are one.
    bool holds(const PortName& name) const { return samePath(name_.path, name.path); }

    // Opens the device, asking for queues of the record's txLen and rxLen
    // bytes (0 or less: the device's own). 0 or an open-result code
    // (SER_OPEN_*, SER_ERRNO_BASE + GetLastError()). Called once, before the
    // port is shared.
    int32_t open(const SerConfigRec& cfg);
    // Ends the operations under way and closes the device.
    void close();

    int32_t configure(const LineSettings& settings);
    int32_t putData(const uint8_t* data, int32_t count);
    int32_t getData(uint8_t* buf, int32_t count);
    int32_t rxReadyCount();
    // Waits until a byte is waiting or ms pass: the count waiting, 0 when
    // the time ran out, -1 on failure.
    int32_t waitRx(int32_t ms);
    int32_t txBufCount();
    int32_t rxFlush();
    int32_t txFlush();
    int32_t txDrain();
    // 1 when the signal is on, 0 when off, -1 on failure.
    int32_t modemSignal(ModemSignal which);
    // 1 when the device reported the event since its last query, 0 when
    // not, -1 on failure.
    int32_t lineEventSeen(LineEvent which);
    int32_t setModemLine(ModemLine line, bool on);
    int32_t sendBreak(int32_t ms);
    // Holds the line in break until released (SerSetBreak).
    int32_t setBreak(bool on);
    int32_t setTimeoutRx(int32_t ms);
    int32_t setTimeoutTx(int32_t ms);
    int32_t timeoutRx() const;
    int32_t timeoutTx() const;
    // 0 while open, -1 once closed.
    int32_t openState() const;
    // One pass of flow-control work: the device does it all, so the pass
    // only tells whether the port is open.
    int32_t flowTask() const { return openState(); }

private:
    // ClearCommError: the device's queue counts; the errors it reports (and
    // clears in the device) go to the latch.
    bool queueStatus(const DeviceHandle::Use& use, COMSTAT& stat);
    // One wait for EV_RXCHAR of at most ms; false when the port is closing.
    bool waitEvent(const DeviceHandle::Use& use, DWORD ms);

    const PortName name_;
    const int32_t number_;
    std::unique_ptr<DeviceHandle> device_;  // set by open(), before the port is shared
    DWORD rxQueue_ = 4096;
    std::atomic<bool> eventsWork_{true};
    std::atomic<int32_t> timeoutRx_{0};
    std::atomic<int32_t> timeoutTx_{0};
    ErrorLatch errors_;
    std::mutex writeMutex_;
    std::mutex readMutex_;
    std::mutex waitMutex_;
    std::mutex controlMutex_;  // the DCB and the modem lines it keeps
    ModemLines lines_;
};

}  // namespace sdrv
