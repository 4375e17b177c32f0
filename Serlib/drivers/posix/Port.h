#pragma once
// One open serial port of the driver: its descriptor, the name it was opened
// by, and what the upper layer last asked of it. Every operation takes the
// port's own lock, so several threads may call at the same time; a write
// that waits for the device and waitRx() let go of it while they wait, so
// one thread can send while another waits for what comes in (and a flush
// can end a held write). The descriptor does not change under such a wait.
//
// A device that goes away (a USB adapter pulled) shows as EIO, ENXIO or
// ENODEV, or as a hang-up on the descriptor. The port is then lost: the dead
// descriptor is closed at once and every operation that touches the device
// first tries, once, to open the same path again (a ports/ link is followed
// anew), taking the locks and applying the last settings, modem lines and
// time-outs it was given. Until that succeeds the operations fail at once.
// Nothing runs between operations, so an absent device costs nothing.
#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>

#include <linux/serial.h>

#include "Serlib/drivers/posix/LineSettings.h"
#include "Serlib/drivers/common/LineSignals.h"
#include "Serlib/drivers/posix/PortName.h"
#include "common/UniqueFd.h"

namespace sdrv {

class Port {
public:
    Port(PortName name, int32_t number);
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int32_t number() const { return number_; }
    const PortName& portName() const { return name_; }
    // The character device now open, 0 while none is.
    dev_t device() const { return device_.load(); }
    // Whether this port is the device that name opens: the same path, or
    // the same device under another name.
    bool holds(const PortName& name) const;

    // 0 or an open-result code (SER_OPEN_*, SER_ERRNO_BASE + errno). The
    // record's queue sizes are not asked for: the kernel sizes a terminal's.
    int32_t open(const SerConfigRec& cfg);
    // Gives the device back: exclusive use ends, the descriptor is closed.
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
    // 1 when the kernel's counter of the event grew since the last query of
    // it, 0 when not.
    int32_t lineEventSeen(LineEvent which);
    int32_t setModemLine(ModemLine line, bool on);
    // One pass of flow-control work: the kernel does it all, so none.
    int32_t flowTask() { return 0; }
    int32_t sendBreak(int32_t tics);
    // Holds the line in break until released (SerSetBreak).
    int32_t setBreak(bool on);
    int32_t setTimeoutRx(int32_t ms);
    int32_t setTimeoutTx(int32_t ms);
    int32_t timeoutRx();
    int32_t timeoutTx();

private:
    using Lock = std::unique_lock<std::mutex>;

    // Polls p without the port's lock (held by the caller, and held again
    // on return): poll's result, or -1 when the port was closed, lost or
    // opened anew meanwhile.
    int waitUnlocked(Lock& lock, pollfd& p, int timeoutMs);
    // The one way the descriptor changes: once no wait uses the old one.
    void replaceDescriptor(UniqueFd fd);

    // Opens, locks and sets raw mode on path; 0 or an open-result code.
    static int32_t openDevice(const std::string& path, UniqueFd& fd, dev_t& device);
    // Whether the descriptor may be used by this operation now: a lost port
    // gets its one reopen attempt here. False when the device is away (the
    // operation then fails at once).
    bool usable();
    // One attempt to open the device again and give it back its settings.
    bool reopen();
    // The device went away: the dead descriptor is closed at once.
    void lose();
    // The failure value of an operation whose system call set errno.
    int32_t failed(int err);
    void takeCounterBaseline();

    const PortName name_;
    const int32_t number_;
    std::mutex mutex_;
    std::shared_mutex descriptorInUse_;  // shared by the waits, taken whole to change fd_
    UniqueFd fd_;
    uint64_t descriptorGeneration_ = 0;
    std::atomic<dev_t> device_{0};
    bool closed_ = false;
    bool lost_ = false;
    std::optional<LineSettings> settings_;
    int32_t timeoutRx_ = 0;
    int32_t timeoutTx_ = 0;
    std::optional<bool> dtr_;
    std::optional<bool> rts_;
    serial_icounter_struct counts_{};
    bool haveCounts_ = false;
};

}  // namespace sdrv
