#include "Serlib/drivers/posix/Port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

namespace sdrv {

namespace {

using Clock = std::chrono::steady_clock;

// A break longer than this holds the line (and the port) for no purpose.
constexpr int32_t kLongestBreakMs = 10000;

bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

int32_t openFailure(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EISDIR:
    case EIO:  // a serial node without its hardware answers EIO
        return SER_OPEN_NOT_VALID;
    case EBUSY:  // another program set TIOCEXCL
    case EWOULDBLOCK:
        return SER_OPEN_IN_USE;
    default:
        return SER_ERRNO_BASE + err;
    }
}

int pollRetrying(pollfd& p, int timeoutMs) {
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

}  // namespace

Port::Port(PortName name, int32_t number) : name_(std::move(name)), number_(number) {}

int32_t Port::openDevice(const std::string& path, UniqueFd& out, dev_t& device) {
    // O_NONBLOCK keeps open() from waiting for a carrier; the descriptor
    // stays non-blocking, since every wait is a poll() bounded by the port's
    // own time-out. O_CLOEXEC keeps the port out of programs we start.
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        return openFailure(errno);
    }
    UniqueFd fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return openFailure(errno);
    }
    termios probe{};
    if (!S_ISCHR(st.st_mode) || ::tcgetattr(fd.get(), &probe) != 0) {
        return SER_OPEN_NOT_VALID;  // not a terminal, so not a serial port
    }
    // flock keeps out every program that asks first, root's included (which
    // TIOCEXCL does not stop); TIOCEXCL also stops those that never ask.
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return openFailure(errno);
    }
    if (::ioctl(fd.get(), TIOCEXCL) != 0) {
        return openFailure(errno);
    }
    const int32_t rawMode = applyRawMode(fd.get());
    if (rawMode != 0) {
        // The terminal would stay exclusive after this descriptor goes.
        static_cast<void>(::ioctl(fd.get(), TIOCNXCL));
        return rawMode;
    }
    device = st.st_rdev;
    out = std::move(fd);
    return 0;
}

bool Port::holds(const PortName& name) const {
    if (portName().path == name.path) {
        return true;
    }
    struct stat st {};
    return ::stat(name.path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && device() == st.st_rdev;
}

int32_t Port::open(const SerConfigRec&) {
    Lock lock(mutex_);
    dev_t device = 0;
    UniqueFd fd;
    const int32_t rc = openDevice(name_.path, fd, device);
    if (rc == 0) {
        replaceDescriptor(std::move(fd));
        device_.store(device);
        takeCounterBaseline();
    }
    return rc;
}

void Port::replaceDescriptor(UniqueFd fd) {
    // Waits that run without the port's lock still use the old descriptor.
    std::unique_lock<std::shared_mutex> inUse(descriptorInUse_);
    fd_ = std::move(fd);
    ++descriptorGeneration_;
}

void Port::close() {
    Lock lock(mutex_);
    closed_ = true;
    if (fd_.valid()) {
        // Exclusive use is a property of the terminal, not of the descriptor;
        // give it back so the next opener is not refused. A dead device
        // refuses this too, which changes nothing.
        static_cast<void>(::ioctl(fd_.get(), TIOCNXCL));
        replaceDescriptor(UniqueFd());
    }
    device_.store(0);
}

bool Port::usable() {
    if (closed_) {
        return false;
    }
    if ((lost_ && !reopen()) || !fd_.valid()) {
        return false;
    }
    // A hung-up terminal reads as end of file, which raw mode cannot tell
    // from "nothing waiting"; poll says which it is.
    pollfd p{fd_.get(), 0, 0};
    if (pollRetrying(p, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        lose();
        return false;
    }
    return true;
}

bool Port::reopen() {
    UniqueFd fd;
    dev_t device = 0;
    // Another program may have taken the device meanwhile: its lock then
    // refuses us and the port stays lost until a later attempt.
    if (openDevice(name_.path, fd, device) != 0) {
        return false;
    }
    if (settings_ && applySettings(fd.get(), *settings_) != 0) {
        return false;
    }
    // Modem lines as they were asked for; a device without them (as a
    // pseudo-terminal) refused them before too, so that is no reason to fail.
    if (dtr_) {
        int bit = TIOCM_DTR;
        static_cast<void>(::ioctl(fd.get(), *dtr_ ? TIOCMBIS : TIOCMBIC, &bit));
    }
    if (rts_) {
        int bit = TIOCM_RTS;
        static_cast<void>(::ioctl(fd.get(), *rts_ ? TIOCMBIS : TIOCMBIC, &bit));
    }
    replaceDescriptor(std::move(fd));
    device_.store(device);
    lost_ = false;
    takeCounterBaseline();
    return true;
}

void Port::lose() {
    lost_ = true;
    replaceDescriptor(UniqueFd());
    device_.store(0);
    haveCounts_ = false;
}

int32_t Port::failed(int err) {
    if (deviceGone(err)) {
        lose();
    }
    return -1;
}

int32_t Port::configure(const LineSettings& settings) {
    Lock lock(mutex_);
    // Kept even when the device is away: it is what a reopened port gets.
    settings_ = settings;
    if (!usable()) {
        return SER_ERRNO_BASE + EIO;
    }
    const int32_t rc = applySettings(fd_.get(), settings);
    if (rc >= SER_ERRNO_BASE && deviceGone(rc - SER_ERRNO_BASE)) {
        lose();
    }
    return rc;
}

int32_t Port::putData(const uint8_t* data, int32_t count) {
    Lock lock(mutex_);
    if (count < 0 || (data == nullptr && count > 0)) {
        return -1;
    }
    if (!usable()) {
        return -1;
    }
    // A send time-out of 0 sets no limit: the write waits as the device needs.
    const bool limited = timeoutTx_ > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutTx_);
    int32_t sent = 0;
    while (sent < count) {
        const ssize_t n = ::write(fd_.get(), data + sent, static_cast<size_t>(count - sent));
        if (n > 0) {
            sent += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            failed(errno);
            return sent > 0 ? sent : -1;
        }
        int waitMs = -1;
        if (limited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                break;  // time-out: fewer bytes, not an error
            }
            waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd p{fd_.get(), POLLOUT, 0};
        const int rc = waitUnlocked(lock, p, waitMs);
        if (rc < 0) {
            return sent > 0 ? sent : -1;
        }
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            lose();
            return sent > 0 ? sent : -1;
        }
    }
    return sent;
}

int Port::waitUnlocked(Lock& lock, pollfd& p, int timeoutMs) {
    const uint64_t generation = descriptorGeneration_;
    int rc;
    {
        std::shared_lock<std::shared_mutex> inUse(descriptorInUse_);
        lock.unlock();
        rc = pollRetrying(p, timeoutMs);
    }
    lock.lock();
    // Closed, lost or opened anew meanwhile: what the wait saw is void.
    if (closed_ || descriptorGeneration_ != generation) {
        return -1;
    }
    return rc;
}

int32_t Port::getData(uint8_t* buf, int32_t count) {
    Lock lock(mutex_);
    if (count < 0 || (buf == nullptr && count > 0)) {
        return -1;
    }
    if (!usable()) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buf, static_cast<size_t>(count));
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            return 0;
        }
        return failed(errno);
    }
}

int32_t Port::rxReadyCount() {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    int n = 0;
    if (::ioctl(fd_.get(), FIONREAD, &n) != 0) {
        return failed(errno);
    }
    return n;
}

int32_t Port::waitRx(int32_t ms) {
    Lock lock(mutex_);
    if (ms < 0 || !usable()) {
        return -1;
    }
    pollfd p{fd_.get(), POLLIN, 0};
    const int rc = waitUnlocked(lock, p, ms);
    if (rc < 0) {
        return -1;
    }
    if (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        lose();
        return -1;
    }
    if (rc == 0) {
        return 0;
    }
    int n = 0;
    if (::ioctl(fd_.get(), FIONREAD, &n) != 0) {
        return failed(errno);
    }
    return n;
}

int32_t Port::txBufCount() {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    int n = 0;
    if (::ioctl(fd_.get(), TIOCOUTQ, &n) != 0) {
        return failed(errno);
    }
    return n;
}

int32_t Port::rxFlush() {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    return ::tcflush(fd_.get(), TCIFLUSH) == 0 ? 0 : failed(errno);
}

int32_t Port::txFlush() {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    if (::tcflush(fd_.get(), TCOFLUSH) != 0) {
        return failed(errno);
    }
    // What was dropped is what a stalled write left behind, so output starts
    // afresh: an XOFF from the far end no longer holds it. TCOON alone only
    // undoes TCOOFF, so both are passed through.
    if (::tcflow(fd_.get(), TCOOFF) != 0 || ::tcflow(fd_.get(), TCOON) != 0) {
        return failed(errno);
    }
    return 0;
}

int32_t Port::txDrain() {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    int rc;
    do {
        rc = ::tcdrain(fd_.get());
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : failed(errno);
}

int32_t Port::modemSignal(ModemSignal which) {
    int bit = TIOCM_CTS;
    switch (which) {
    case ModemSignal::Cts: bit = TIOCM_CTS; break;
    case ModemSignal::Dsr: bit = TIOCM_DSR; break;
    case ModemSignal::CarrierDetect: bit = TIOCM_CAR; break;
    case ModemSignal::Ring: bit = TIOCM_RNG; break;
    }
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    int bits = 0;
    // A pseudo-terminal has no modem lines: that is this call's failure.
    if (::ioctl(fd_.get(), TIOCMGET, &bits) != 0) {
        return failed(errno);
    }
    return (bits & bit) != 0 ? 1 : 0;
}

void Port::takeCounterBaseline() {
    haveCounts_ = fd_.valid() && ::ioctl(fd_.get(), TIOCGICOUNT, &counts_) == 0;
}

int32_t Port::lineEventSeen(LineEvent which) {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    serial_icounter_struct now{};
    if (::ioctl(fd_.get(), TIOCGICOUNT, &now) != 0) {
        return failed(errno);
    }
    if (!haveCounts_) {
        counts_ = now;
        haveCounts_ = true;
    }
    int* before = nullptr;
    int after = 0;
    switch (which) {
    case LineEvent::Frame:
        before = &counts_.frame;
        after = now.frame;
        break;
    case LineEvent::Overrun:
        before = &counts_.overrun;
        after = now.overrun;
        break;
    case LineEvent::Parity:
        before = &counts_.parity;
        after = now.parity;
        break;
    case LineEvent::Break:
        before = &counts_.brk;
        after = now.brk;
        break;
    case LineEvent::RxOverflow:
        before = &counts_.buf_overrun;
        after = now.buf_overrun;
        break;
    }
    const bool grew = after != *before;
    *before = after;
    return grew ? 1 : 0;
}

int32_t Port::setModemLine(ModemLine line, bool on) {
    Lock lock(mutex_);
    // Remembered first: a device that comes back gets the line as asked.
    int bit = TIOCM_DTR;
    if (line == ModemLine::Dtr) {
        dtr_ = on;
    } else {
        bit = TIOCM_RTS;
        rts_ = on;
    }
    if (!usable()) {
        return -1;
    }
    if (::ioctl(fd_.get(), on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
        return failed(errno);
    }
    return 0;
}

int32_t Port::sendBreak(int32_t tics) {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    // tics is the break's length in milliseconds; 0 or less asks for the
    // terminal's standard break (a quarter to half a second).
    if (tics <= 0) {
        return ::tcsendbreak(fd_.get(), 0) == 0 ? 0 : failed(errno);
    }
    if (::ioctl(fd_.get(), TIOCSBRK) != 0) {
        return failed(errno);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(tics, kLongestBreakMs)));
    if (::ioctl(fd_.get(), TIOCCBRK) != 0) {
        return failed(errno);
    }
    return 0;
}

int32_t Port::setBreak(bool on) {
    Lock lock(mutex_);
    if (!usable()) {
        return -1;
    }
    return ::ioctl(fd_.get(), on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : failed(errno);
}

int32_t Port::setTimeoutRx(int32_t ms) {
    Lock lock(mutex_);
    if (ms < 0 || closed_) {
        return -1;
    }
    timeoutRx_ = ms;
    return 0;
}

int32_t Port::setTimeoutTx(int32_t ms) {
    Lock lock(mutex_);
    if (ms < 0 || closed_) {
        return -1;
    }
    timeoutTx_ = ms;
    return 0;
}

int32_t Port::timeoutRx() {
    Lock lock(mutex_);
    return closed_ ? -1 : timeoutRx_;
}

int32_t Port::timeoutTx() {
    Lock lock(mutex_);
    return closed_ ? -1 : timeoutTx_;
}

}  // namespace sdrv
