// A device that is pulled and plugged back: the driver keeps the handle,
// fails fast while the device is away, and reopens it with its settings at
// the first operation after it returns.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/serlib/PrivateDriver.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProcessState.h"
#include "tests/support/PtyDevice.h"
#include "Serlib/SerDriver.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerialPortLocal.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t* bytes(const char* text) {
    return reinterpret_cast<const uint8_t*>(text);
}

// Another program holding a terminal's lock.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~LockHolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

// Counts the opens of one file while alive.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        // Closes are watched too: inotify merges an event with an identical
        // one still queued, so back-to-back opens alone would count as one.
        ok_ = fd_ >= 0 && ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) >= 0;
    }
    ~OpenWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    // The opens seen so far, waiting up to quiet for the first one.
    int opens(std::chrono::milliseconds quiet = 0ms) {
        int n = 0;
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, n == 0 ? static_cast<int>(quiet.count()) : 0) > 0) {
            alignas(inotify_event) char buf[4096];
            const ssize_t len = ::read(fd_, buf, sizeof buf);
            if (len <= 0) break;
            for (ssize_t off = 0; off < len;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
                if (e->mask & IN_OPEN) ++n;
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        return n;
    }

private:
    int fd_;
    bool ok_ = false;
};

class Reconnect : public ::testing::Test {
protected:
    Reconnect() : device(std::make_unique<PtyDevice>()) {
        driver.linkPort("COM1", device->path());
        Record r("COM1");
        EXPECT_EQ(d.SerOpenPort(r.get()), 0);
        handle = r.rec.port - 1;
        EXPECT_EQ(handle, 0);
        // 19200 baud, 2 stop bits, XON/XOFF: all visible on a pseudo-terminal.
        Record settings("", handle + 1);
        settings.rec.bitRate = 8;
        settings.rec.stopBits = 1;
        settings.rec.handshake = 1;
        EXPECT_EQ(d.SerConfigure(settings.get()), 0);
        EXPECT_EQ(d.SerSetTimeoutRx(handle, 250), 0);
        EXPECT_EQ(d.SerSetTimeoutTx(handle, 2147483647), 0);
        EXPECT_EQ(d.SerPutData(handle, bytes("hello"), 5), 5);
        EXPECT_EQ(device->receive(5), "hello");
    }

    ~Reconnect() override { d.SerClosePort(handle); }

    // Pulls the device: its name goes and its terminal hangs up. Pseudo-
    // terminal numbers are reused at once, so a name left behind could lead
    // a reopen to another test's terminal.
    void unplug() {
        driver.unlinkPort("COM1");
        device->vanish();
    }
    // Pulls the device and lets the first operation find it gone.
    void pull() {
        unplug();
        uint8_t buf[8];
        ASSERT_EQ(d.SerGetData(handle, buf, 8), -1);
    }

    // Plugs a new device in under the same name.
    void plugBack() {
        auto fresh = std::make_unique<PtyDevice>();
        driver.linkPort("COM1", fresh->path());
        device = std::move(fresh);
    }

    PrivateDriver driver;
    const Serlib::DriverOps& d = driver.ops();
    std::unique_ptr<PtyDevice> device;
    int32_t handle = -1;
};

}  // namespace

TEST_F(Reconnect, EveryOperationFailsAtOnceWhileTheDeviceIsAway) {
    pull();
    uint8_t buf[16];
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        // A send time-out of ~24 days must not make a dead port wait.
        EXPECT_EQ(d.SerPutData(handle, bytes("AT\n"), 3), -1);
        EXPECT_NE(d.SerPutByte(handle, 'x'), 0);
        EXPECT_EQ(d.SerGetData(handle, buf, 16), -1);
        EXPECT_EQ(d.SerGetByte(handle), -1);
        EXPECT_EQ(d.SerRxReadyCount(handle), -1);
        EXPECT_EQ(d.SerTxBufCount(handle), -1);
        EXPECT_EQ(d.SerRxFlush(handle), -1);
        EXPECT_EQ(d.SerTxDrain(handle), -1);
        EXPECT_EQ(d.SerSetDTR(handle, 1), -1);
        EXPECT_EQ(d.SerSendBreak(handle, 50), -1);
    }
    EXPECT_LT(Clock::now() - start, 2s);
    // The handle is still the port's: its stored values answer.
    EXPECT_EQ(d.SerGetTimeoutRx(handle), 250);
    EXPECT_EQ(d.SerSetTimeoutRx(handle, 300), 0);
    EXPECT_EQ(d.SerGetTimeoutRx(handle), 300);
}

TEST_F(Reconnect, AWriteFindsTheDeviceGoneAsWellAsARead) {
    unplug();
    EXPECT_EQ(d.SerPutData(handle, bytes("AT\n"), 3), -1);
    EXPECT_EQ(d.SerRxReadyCount(handle), -1);
}

TEST_F(Reconnect, TheReturnedDeviceIsReopenedUnderTheSameHandleWithItsSettings) {
    auto fresh = std::make_unique<PtyDevice>();
    const std::string oldPath = device->path();
    pull();
    EXPECT_EQ(d.SerPutData(handle, bytes("lost"), 4), -1);
    driver.linkPort("COM1", fresh->path());
    device = std::move(fresh);
    ASSERT_NE(device->path(), oldPath);

    EXPECT_EQ(d.SerPutData(handle, bytes("back"), 4), 4);
    EXPECT_EQ(device->receive(4), "back");
    const termios tio = device->settings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(d.SerGetTimeoutRx(handle), 250);
    EXPECT_EQ(d.SerGetTimeoutTx(handle), 2147483647);

    device->send("OK\r\n");
    std::string got;
    const auto deadline = Clock::now() + 5s;
    while (got.size() < 4 && Clock::now() < deadline) {
        uint8_t buf[8];
        const int32_t n = d.SerGetData(handle, buf, 8);
        ASSERT_GE(n, 0);
        got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "OK\r\n");
    // The returned device is locked against others again.
    LockHolder other(device->path());
    EXPECT_FALSE(other.locked());
}

TEST_F(Reconnect, SettingsGivenWhileTheDeviceIsAwayAreTheOnesItGets) {
    pull();
    Record faster("", handle + 1);
    faster.rec.bitRate = 11;
    EXPECT_EQ(d.SerConfigure(faster.get()), SER_ERRNO_BASE + EIO);
    plugBack();
    EXPECT_EQ(d.SerTxDrain(handle), 0);
    const termios tio = device->settings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
}

TEST_F(Reconnect, ADeviceAnotherProgramTookKeepsThePortLostUntilItIsFree) {
    pull();
    plugBack();
    {
        LockHolder other(device->path());
        ASSERT_TRUE(other.locked());
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(d.SerPutData(handle, bytes("x"), 1), -1);
            EXPECT_EQ(d.SerRxReadyCount(handle), -1);
        }
    }
    EXPECT_EQ(d.SerPutData(handle, bytes("mine"), 4), 4);
    EXPECT_EQ(device->receive(4), "mine");
}

TEST_F(Reconnect, OneReopenAttemptPerOperationAndNoneBetweenOperations) {
    pull();
    plugBack();
    LockHolder other(device->path());
    ASSERT_TRUE(other.locked());
    const size_t threads = threadCount();
    OpenWatch watch(device->path());
    ASSERT_TRUE(watch.ok());
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(d.SerRxReadyCount(handle), -1);
    }
    EXPECT_EQ(watch.opens(), 10);
    // Left alone, the driver does nothing: no thread, no attempt.
    EXPECT_EQ(watch.opens(300ms), 0);
    EXPECT_EQ(threadCount(), threads);
    // Operations that do not touch the device make no attempt.
    EXPECT_EQ(d.SerGetTimeoutTx(handle), 2147483647);
    EXPECT_EQ(d.SerSetTimeoutRx(handle, 10), 0);
    EXPECT_EQ(d.SerFlowTask(handle), 0);
    EXPECT_EQ(watch.opens(), 0);
}

TEST_F(Reconnect, AThousandFailedOperationsLeakNoDescriptor) {
    pull();
    const size_t absent = openDescriptorCount();
    uint8_t buf[4];
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(d.SerGetData(handle, buf, 4), -1);
    }
    EXPECT_EQ(openDescriptorCount(), absent);

    // Present but refused: every attempt opens the device and must close it.
    plugBack();
    LockHolder other(device->path());
    ASSERT_TRUE(other.locked());
    const size_t refused = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(d.SerPutData(handle, bytes("z"), 1), -1);
    }
    EXPECT_EQ(openDescriptorCount(), refused);
}

TEST_F(Reconnect, ClosingALostPortEndsIt) {
    pull();
    EXPECT_EQ(d.SerClosePort(handle), 0);
    plugBack();
    EXPECT_EQ(d.SerPutData(handle, bytes("x"), 1), -1);  // no reopen of a closed port
    EXPECT_EQ(device->receive(1, 100ms), "");
    Record again("COM1");
    EXPECT_EQ(d.SerOpenPort(again.get()), 0);
    EXPECT_EQ(again.rec.port, 1);  // closed by the fixture, as the same handle
}

TEST_F(Reconnect, ThePortObjectFailsFastWhileAwayAndWorksAgainAfter) {
    // The same handle seen through the library, as the server holds it.
    ASSERT_EQ(d.SerClosePort(handle), 0);
    auto cfg = std::make_shared<Serlib::SerialConfig>("COM1");
    auto port = std::make_shared<Serlib::SerialPortLocal>(cfg);
    Serlib::SerInputStream in(port);
    port->putString("AT\n");
    EXPECT_EQ(device->receive(3), "AT\n");

    unplug();
    const auto start = Clock::now();
    EXPECT_THROW(port->putString("AT\n"), Serlib::IOError);
    EXPECT_THROW(in.available(), Serlib::IOError);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(port->getPortNum(), 0);

    plugBack();
    port->putString("ATI\n");
    EXPECT_EQ(device->receive(4), "ATI\n");
    EXPECT_EQ(port->getPortNum(), 0);
    EXPECT_TRUE(port->isOpen());
}

TEST(ReconnectWithVdev, TheVirtualModemVanishesAndReturnsUnderItsLink) {
    PrivateDriver driver;
    const Serlib::DriverOps& d = driver.ops();
    std::filesystem::create_directories(driver.dir() + "/ports");
    ChildProcess vdev({programPath("vdev"), "--link", driver.dir() + "/ports/COM2"});
    const std::optional<std::string> first = vdev.readLine(5s);
    ASSERT_TRUE(first);

    Record r("COM2");
    ASSERT_EQ(d.SerOpenPort(r.get()), 0);
    const int32_t h = r.rec.port - 1;
    const auto exchange = [&](const std::string& command) {
        if (d.SerPutData(h, bytes(command.c_str()), static_cast<int32_t>(command.size())) !=
            static_cast<int32_t>(command.size())) {
            return std::string("<write failed>");
        }
        std::string answer;
        const auto deadline = Clock::now() + 2s;
        while (answer.find('\n') == std::string::npos && Clock::now() < deadline) {
            uint8_t buf[64];
            const int32_t n = d.SerGetData(h, buf, sizeof buf);
            if (n < 0) return std::string("<read failed>");
            answer.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
            if (n == 0) std::this_thread::sleep_for(2ms);
        }
        return answer;
    };
    EXPECT_EQ(exchange("AT\n"), "OK\r\n");

    vdev.signal(SIGUSR1);
    // The vanish happens when vdev gets to it; each failed exchange is fast.
    std::string answer;
    EXPECT_TRUE(eventually([&] { return (answer = exchange("AT\n")) != "OK\r\n"; }, 5s)) << "still answered";
    // Found gone by the write or by the read, whichever came first; after
    // that the port is lost and the write fails at once.
    EXPECT_TRUE(answer == "<write failed>" || answer == "<read failed>") << answer;
    const auto start = Clock::now();
    EXPECT_EQ(exchange("AT\n"), "<write failed>");
    EXPECT_LT(Clock::now() - start, 1s);

    vdev.signal(SIGUSR2);
    const std::optional<std::string> second = vdev.readLine(5s);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(exchange("AT\n"), "OK\r\n");
    EXPECT_EQ(d.SerClosePort(h), 0);
}
