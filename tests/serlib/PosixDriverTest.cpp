// The POSIX driver through its 30 operations, against real pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/serlib/PrivateDriver.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProcessState.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/Terminal.h"
#include "Serlib/BitRates.h"
#include "Serlib/SerDriver.h"
#include "Serlib/SerialConfig.h"
#include "Serlib/drivers/posix/LineSettings.h"
#include "common/UniqueFd.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class RealDriver : public ::testing::Test {
protected:
    ~RealDriver() override {
        // The driver outlives the test in this process; its ports must not.
        for (int32_t h : opened) d.SerClosePort(h);
    }

    // Opens the device by its path; the handle, or -1 with the result code
    // in lastOpen.
    int32_t open(Record& r) {
        lastOpen = d.SerOpenPort(r.get());
        if (lastOpen != 0) return -1;
        opened.push_back(r.rec.port - 1);
        return r.rec.port - 1;
    }
    int32_t openDevice() {
        Record r(device.path());
        const int32_t h = open(r);
        EXPECT_EQ(lastOpen, 0);
        return h;
    }
    int32_t configure(int32_t handle, int bitRate, int dataBits = 3, int stopBits = 0, int parity = 0,
                      int handshake = 0) {
        Record r("", handle + 1);
        r.rec.bitRate = bitRate;
        r.rec.dataBits = dataBits;
        r.rec.stopBits = stopBits;
        r.rec.parity = parity;
        r.rec.handshake = handshake;
        return d.SerConfigure(r.get());
    }
    std::string getAll(int32_t handle, size_t count) {
        std::string got;
        const auto deadline = Clock::now() + 5s;
        while (got.size() < count && Clock::now() < deadline) {
            uint8_t buf[512];
            const int32_t n = d.SerGetData(handle, buf, sizeof buf);
            if (n < 0) break;
            got.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
            if (n == 0) std::this_thread::sleep_for(1ms);  // the bytes are in flight through the pty
        }
        return got;
    }

    PrivateDriver driver;
    const Serlib::DriverOps& d = driver.ops();
    PtyDevice device;
    int32_t lastOpen = -1;
    std::vector<int32_t> opened;
};

// Another program's claim on a terminal: its own descriptor and lock.
class OtherOpener {
public:
    explicit OtherOpener(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~OtherOpener() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool lock() { return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

private:
    int fd_;
};

}  // namespace

TEST_F(RealDriver, OpensATerminalByPathInRawModeAndNumbersIt) {
    Record r(device.path());
    const int32_t h = open(r);
    ASSERT_EQ(lastOpen, 0);
    EXPECT_GE(r.rec.port, 1001);  // paths get numbers clear of COMn
    const termios tio = device.settings();
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(d.SerClosePort(h), 0);
    EXPECT_NE(d.SerClosePort(h), 0);  // closed already
}

TEST_F(RealDriver, EveryBitRateCodeSetsItsSpeed) {
    const int32_t h = openDevice();
    const speed_t speeds[] = {B110, B150, B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    for (int code = 0; code < 12; ++code) {
        ASSERT_EQ(configure(h, code), 0) << code;
        const termios tio = device.settings();
        EXPECT_EQ(cfgetospeed(&tio), speeds[code]) << code;
        EXPECT_EQ(cfgetispeed(&tio), speeds[code]) << code;
    }
    // The codes after them. A speed the terminal does not keep (qemu-user
    // drops the highest) is reported as a bad setting, never taken as set.
    const auto expectSetOrRefused = [&](int32_t code, speed_t speed) {
        const int32_t rc = configure(h, code);
        if (!terminalsKeepSpeed(speed)) {
            EXPECT_EQ(rc, SER_CONFIG_BAD_SETTING) << code;
            return;
        }
        ASSERT_EQ(rc, 0) << code;
        const termios tio = device.settings();
        EXPECT_EQ(cfgetospeed(&tio), speed) << code;
        EXPECT_EQ(cfgetispeed(&tio), speed) << code;
    };
    EXPECT_TRUE(terminalsKeepSpeed(B230400));
    expectSetOrRefused(Serlib::SerialConfig::BR_230400, B230400);
    expectSetOrRefused(Serlib::SerialConfig::BR_4000000, B4000000);
    expectSetOrRefused(Serlib::SerialConfig::BR_50, B50);
    // Every one, at the speed the termios builder gives it (LineSettingsTest
    // holds each code to its speed).
    for (int32_t code = 12; code < Serlib::bitrates::kStandardCodes; ++code) {
        sdrv::LineSettings settings;
        settings.bitRate = code;
        const termios wanted = sdrv::termiosFor(termios{}, settings);
        expectSetOrRefused(code, cfgetospeed(&wanted));
    }
}

TEST_F(RealDriver, FramingAndHandshakeReachTheTerminal) {
    // A pseudo-terminal forces 8 bits and clears PARENB whatever it is
    // given (LineSettingsTest checks those bits); the rest it keeps.
    const int32_t h = openDevice();
    ASSERT_EQ(configure(h, 7, 2, 1), 0);
    EXPECT_NE(device.settings().c_cflag & CSTOPB, 0u);
    ASSERT_EQ(configure(h, 7, 3, 0), 0);
    EXPECT_EQ(device.settings().c_cflag & CSTOPB, 0u);

    ASSERT_EQ(configure(h, 7, 3, 0, 1), 0);
    EXPECT_EQ(device.settings().c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD));
    if (terminalsKeepMarkParity()) {
        ASSERT_EQ(configure(h, 7, 3, 0, 3), 0);
        EXPECT_EQ(device.settings().c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
    }
    ASSERT_EQ(configure(h, 7, 3, 0, 2), 0);
    EXPECT_EQ(device.settings().c_cflag & (PARODD | CMSPAR), 0u);

    struct Shake {
        int code;
        bool crtscts;
        bool ixon;
        bool ixoff;
    };
    for (const Shake s : {Shake{0, false, false, false}, Shake{1, false, true, true}, Shake{2, true, false, false},
                          Shake{0x10, true, false, false}, Shake{0x20, true, false, false},
                          Shake{0x40, false, false, true}, Shake{0x80, false, true, false},
                          Shake{0xF0, true, true, true}}) {
        ASSERT_EQ(configure(h, 7, 3, 0, 0, s.code), 0) << s.code;
        const termios tio = device.settings();
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, s.crtscts) << s.code;
        EXPECT_EQ((tio.c_iflag & IXON) != 0, s.ixon) << s.code;
        EXPECT_EQ((tio.c_iflag & IXOFF) != 0, s.ixoff) << s.code;
        // Whatever the settings, the line stays raw.
        EXPECT_EQ(tio.c_lflag & ICANON, 0u);
    }
}

TEST_F(RealDriver, SettingsThisPlatformCannotDoAreRefusedAndChangeNothing) {
    const int32_t h = openDevice();
    ASSERT_EQ(configure(h, 8), 0);
    EXPECT_EQ(configure(h, 30), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, -1), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, SER_BR_EXACT | 250000), SER_CONFIG_BAD_SETTING);  // termios sets named speeds only
    EXPECT_EQ(configure(h, SER_BR_EXACT | 19200), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, 7, 4), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, 7, 3, 2), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, 7, 3, 0, 4), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(h, 7, 3, 0, 0, 3), SER_CONFIG_BAD_SETTING);  // DSR/DTR
    EXPECT_EQ(configure(h, 7, 3, 0, 0, 0x100), SER_CONFIG_BAD_SETTING);
    const termios tio = device.settings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(configure(h + 5, 7), SER_CONFIG_NOT_OPEN);
}

TEST_F(RealDriver, ConfigureFindsAPortByNameWhenTheRecordHasNoNumber) {
    openDevice();
    Record byName(device.path());
    byName.rec.bitRate = 10;
    EXPECT_EQ(d.SerConfigure(byName.get()), 0);
    const termios tio = device.settings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B57600));
}

TEST_F(RealDriver, BytesPassUnchangedBothWays) {
    const int32_t h = openDevice();
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += "\r\n\n\r";
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>(all.data()), static_cast<int32_t>(all.size())),
              static_cast<int32_t>(all.size()));
    EXPECT_EQ(device.receive(all.size()), all);
    EXPECT_EQ(d.SerPutByte(h, 0xA5), 0);
    EXPECT_EQ(device.receive(1), "\xA5");
    EXPECT_NE(d.SerPutByte(h, 256), 0);

    device.send(all);
    EXPECT_EQ(getAll(h, all.size()), all);
    device.send("Q");
    int32_t ready = 0;
    EXPECT_TRUE(eventually([&] { return (ready = d.SerRxReadyCount(h)) != 0; }, 5s));
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(d.SerGetByte(h), 'Q');
}

TEST_F(RealDriver, WaitingForInputEndsWithTheFirstByteOrTheTimeOut) {
    const int32_t h = openDevice();
    ASSERT_NE(d.SerWaitRx, nullptr) << "the driver offers the wait";
    auto start = Clock::now();
    EXPECT_EQ(d.SerWaitRx(h, 50), 0);
    EXPECT_GE(Clock::now() - start, 45ms);
    std::thread device([this] {
        std::this_thread::sleep_for(30ms);
        this->device.send("abc");
    });
    start = Clock::now();
    EXPECT_GE(d.SerWaitRx(h, 5000), 1);
    EXPECT_LT(Clock::now() - start, 2000ms) << "woken by the byte, not the time-out";
    device.join();
    EXPECT_EQ(d.SerWaitRx(-1, 10), -1);
    EXPECT_EQ(d.SerWaitRx(h, -1), -1);
}

TEST_F(RealDriver, ReadsReturnWhatIsThereNeverWaitingOrFailing) {
    const int32_t h = openDevice();
    uint8_t buf[8] = {};
    EXPECT_EQ(d.SerGetData(h, buf, 8), 0);
    EXPECT_EQ(d.SerGetByte(h), -1);
    device.send("abc");
    EXPECT_TRUE(eventually([&] { return d.SerRxReadyCount(h) >= 3; }, 5s));
    const auto start = Clock::now();
    EXPECT_EQ(d.SerGetData(h, buf, 8), 3);  // fewer than asked, at once
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
    EXPECT_EQ(d.SerGetData(h, buf, 0), 0);
}

TEST_F(RealDriver, ASendTimeoutEndsAStalledWriteWithFewerBytes) {
    const int32_t h = openDevice();
    ASSERT_EQ(d.SerSetTimeoutTx(h, 200), 0);
    EXPECT_EQ(d.SerGetTimeoutTx(h), 200);
    // Nobody reads the device, so the terminal's buffers fill up.
    const std::string big(1 << 20, 'x');
    const auto start = Clock::now();
    const int32_t sent = d.SerPutData(h, reinterpret_cast<const uint8_t*>(big.data()), static_cast<int32_t>(big.size()));
    const auto took = Clock::now() - start;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int32_t>(big.size()));
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 5000ms);
}

TEST_F(RealDriver, AnXoffHoldsWritesUntilTxFlushDropsThemAndRestartsOutput) {
    const int32_t h = openDevice();
    ASSERT_EQ(configure(h, 7, 3, 0, 0, 1), 0);  // XON/XOFF
    ASSERT_EQ(d.SerSetTimeoutTx(h, 200), 0);
    device.send("\x13");
    const auto deadline = Clock::now() + 5s;
    int32_t sent = 3;
    while (sent == 3 && Clock::now() < deadline) {
        sent = d.SerPutData(h, reinterpret_cast<const uint8_t*>("AT\n"), 3);  // until the XOFF has arrived
    }
    EXPECT_EQ(sent, 0) << "the stopped line takes nothing";
    device.receive(64, 300ms);  // what went out before the XOFF
    ASSERT_EQ(d.SerTxFlush(h), 0);
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>("AT\n"), 3), 3);
    EXPECT_EQ(device.receive(3), "AT\n");
}

TEST_F(RealDriver, TimeoutsAreKeptPerPortAndNegativeOnesRefused) {
    const int32_t h = openDevice();
    EXPECT_EQ(d.SerGetTimeoutRx(h), 0);
    EXPECT_EQ(d.SerGetTimeoutTx(h), 0);
    EXPECT_EQ(d.SerSetTimeoutRx(h, 1500), 0);
    EXPECT_EQ(d.SerSetTimeoutTx(h, 2147483647), 0);
    EXPECT_EQ(d.SerGetTimeoutRx(h), 1500);
    EXPECT_EQ(d.SerGetTimeoutTx(h), 2147483647);
    EXPECT_EQ(d.SerSetTimeoutRx(h, -1), -1);
    EXPECT_EQ(d.SerSetTimeoutTx(h, -1), -1);
    EXPECT_EQ(d.SerGetTimeoutRx(h), 1500);
}

TEST_F(RealDriver, BufferQueriesFlushAndDrain) {
    const int32_t h = openDevice();
    EXPECT_EQ(d.SerTxBufCount(h), 0);
    EXPECT_EQ(d.SerTxDrain(h), 0);
    device.send("zzzz");
    EXPECT_TRUE(eventually([&] { return d.SerRxReadyCount(h) >= 4; }, 5s));
    EXPECT_EQ(d.SerRxReadyCount(h), 4);
    EXPECT_EQ(d.SerRxFlush(h), 0);
    EXPECT_EQ(d.SerRxReadyCount(h), 0);
    EXPECT_EQ(d.SerTxFlush(h), 0);
    EXPECT_EQ(d.SerFlowTask(h), 0);
}

TEST_F(RealDriver, ModemLinesAPseudoTerminalLacksAreFailuresNotLosses) {
    const int32_t h = openDevice();
    EXPECT_EQ(d.SerSigCTS(h), -1);
    EXPECT_EQ(d.SerSigDSR(h), -1);
    EXPECT_EQ(d.SerSigCD(h), -1);
    EXPECT_EQ(d.SerSigRing(h), -1);
    EXPECT_EQ(d.SerSetDTR(h, 1), -1);
    EXPECT_EQ(d.SerSetRTS(h, 0), -1);
    EXPECT_EQ(d.SerSigFrameErr(h), -1);
    EXPECT_EQ(d.SerSigOverrun(h), -1);
    EXPECT_EQ(d.SerSigParityErr(h), -1);
    EXPECT_EQ(d.SerSigBreak(h), -1);
    EXPECT_EQ(d.SerRxOverflow(h), -1);
    // The port still works.
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>("ok"), 2), 2);
    EXPECT_EQ(device.receive(2), "ok");
}

TEST_F(RealDriver, HandleMinusOneAndUnknownHandlesFailEveryOperation) {
    const int32_t h = openDevice();
    uint8_t buf[4] = {1, 2, 3, 4};
    for (const int32_t bad : {-1, h + 1, 12345, -7}) {
        EXPECT_NE(d.SerClosePort(bad), 0);
        EXPECT_NE(d.SerPutByte(bad, 1), 0);
        EXPECT_EQ(d.SerPutData(bad, buf, 4), -1);
        EXPECT_EQ(d.SerGetByte(bad), -1);
        EXPECT_EQ(d.SerGetData(bad, buf, 4), -1);
        EXPECT_EQ(d.SerRxFlush(bad), -1);
        EXPECT_EQ(d.SerTxFlush(bad), -1);
        EXPECT_EQ(d.SerTxDrain(bad), -1);
        EXPECT_EQ(d.SerRxReadyCount(bad), -1);
        EXPECT_EQ(d.SerTxBufCount(bad), -1);
        EXPECT_EQ(d.SerRxOverflow(bad), -1);
        EXPECT_EQ(d.SerSetDTR(bad, 1), -1);
        EXPECT_EQ(d.SerSetRTS(bad, 1), -1);
        EXPECT_EQ(d.SerSendBreak(bad, 1), -1);
        EXPECT_EQ(d.SerSetTimeoutRx(bad, 1), -1);
        EXPECT_EQ(d.SerSetTimeoutTx(bad, 1), -1);
        EXPECT_EQ(d.SerGetTimeoutRx(bad), -1);
        EXPECT_EQ(d.SerGetTimeoutTx(bad), -1);
        EXPECT_EQ(d.SerSigCTS(bad), -1);
        EXPECT_EQ(d.SerSigDSR(bad), -1);
        EXPECT_EQ(d.SerSigCD(bad), -1);
        EXPECT_EQ(d.SerSigFrameErr(bad), -1);
        EXPECT_EQ(d.SerSigParityErr(bad), -1);
        EXPECT_EQ(d.SerSigOverrun(bad), -1);
        EXPECT_EQ(d.SerSigRing(bad), -1);
        EXPECT_EQ(d.SerSigBreak(bad), -1);
        EXPECT_EQ(d.SerFlowTask(bad), -1);
    }
    EXPECT_EQ(d.SerGetLibVer(), 100);
}

TEST_F(RealDriver, NegativeCountsTouchNoMemory) {
    const int32_t h = openDevice();
    device.send("data");
    uint8_t guard[4] = {9, 9, 9, 9};
    EXPECT_EQ(d.SerGetData(h, guard, -1), -1);
    EXPECT_EQ(d.SerPutData(h, guard, -3), -1);
    EXPECT_EQ(d.SerGetData(h, nullptr, 4), -1);
    EXPECT_EQ(d.SerPutData(h, nullptr, 4), -1);
    EXPECT_EQ(guard[0], 9);
    EXPECT_EQ(device.receive(1, 100ms), "");
    EXPECT_EQ(getAll(h, 4), "data");  // nothing was taken by the refused reads
}

TEST_F(RealDriver, TheSameDeviceTwiceIsAlreadyOpen) {
    const int32_t h = openDevice();
    Record again(device.path());
    EXPECT_EQ(d.SerOpenPort(again.get()), SER_OPEN_ALREADY_OPEN);
    // Also when named through a link to it.
    const std::string link = driver.dir() + "/other-name";
    std::filesystem::create_symlink(device.path(), link);
    Record viaLink(link);
    EXPECT_EQ(d.SerOpenPort(viaLink.get()), SER_OPEN_ALREADY_OPEN);
    EXPECT_EQ(d.SerClosePort(h), 0);
    Record third(device.path());
    EXPECT_GE(open(third), 0);
}

TEST_F(RealDriver, ADeviceAnotherProgramLockedIsInUse) {
    OtherOpener other(device.path());
    ASSERT_TRUE(other.lock());
    Record r(device.path());
    EXPECT_EQ(d.SerOpenPort(r.get()), SER_OPEN_IN_USE);
    EXPECT_EQ(r.rec.port, 0);
}

TEST_F(RealDriver, AnOpenPortIsLockedAgainstOthersUntilClosed) {
    const int32_t h = openDevice();
    {
        OtherOpener other(device.path());
        EXPECT_FALSE(other.lock());
    }
    ASSERT_EQ(d.SerClosePort(h), 0);
    OtherOpener after(device.path());
    EXPECT_TRUE(after.lock());
}

TEST_F(RealDriver, ExclusiveUseOfTheTerminalEndsWithThePort) {
    // Opened before the port, as another program could: exclusive use turns
    // away only later opens, and root not even those, so the flag is read.
    UniqueFd other(::open(device.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other.valid());
    const int32_t h = openDevice();
    EXPECT_EQ(exclusiveUse(device.path()), std::optional<bool>(true)) << "the open port holds the terminal";
    ASSERT_EQ(d.SerClosePort(h), 0);
    EXPECT_EQ(exclusiveUse(device.path()), std::optional<bool>(false)) << "the closed port still holds the terminal";
}

TEST_F(RealDriver, NamesThatNameNoTerminalAreNotValid) {
    const std::string file = driver.dir() + "/plain-file";
    std::ofstream(file) << "not a terminal";
    for (const std::string& name : {std::string("/dev/orvo-no-such-device"), file, std::string("FOO"),
                                    std::string("COM0"), std::string("COMx"), std::string("COM99999"),
                                    std::string("COM999"), driver.dir()}) {
        Record r(name);
        EXPECT_EQ(d.SerOpenPort(r.get()), SER_OPEN_NOT_VALID) << name;
    }
    Record nothing("", 0);
    EXPECT_EQ(d.SerOpenPort(nothing.get()), SER_OPEN_NOT_VALID);
    EXPECT_EQ(d.SerOpenPort(nullptr), SER_OPEN_NOT_VALID);
}

TEST_F(RealDriver, ComNamesResolveThroughThePortsLinkBesideTheDriver) {
    driver.linkPort("COM7", device.path());
    Record r("COM7");
    const int32_t h = open(r);
    ASSERT_EQ(lastOpen, 0);
    EXPECT_EQ(r.rec.port, 7);
    EXPECT_EQ(h, 6);
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>("via link"), 8), 8);
    EXPECT_EQ(device.receive(8), "via link");
    Record lower("com7");
    EXPECT_EQ(d.SerOpenPort(lower.get()), SER_OPEN_NOT_VALID) << "only Windows reads COM in any case";
    Record twice("COM7");
    EXPECT_EQ(d.SerOpenPort(twice.get()), SER_OPEN_ALREADY_OPEN);
}

TEST_F(RealDriver, ADanglingPortsLinkIsNotValidAndNoFallbackIsTried) {
    driver.linkPort("COM1", driver.dir() + "/gone");
    Record r("COM1");
    EXPECT_EQ(d.SerOpenPort(r.get()), SER_OPEN_NOT_VALID);
}

TEST_F(RealDriver, NumberedRecordsOpenTheBaseNameWithTheNumberLessOne) {
    std::filesystem::create_symlink(device.path(), driver.dir() + "/tty2");
    Record r("", 3, driver.dir() + "/tty");
    const int32_t h = open(r);
    ASSERT_EQ(lastOpen, 0);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(r.rec.port, 3);
    EXPECT_EQ(d.SerPutByte(h, 'n'), 0);
    EXPECT_EQ(device.receive(1), "n");
}

TEST_F(RealDriver, OpenFailuresLeaveNoDescriptorBehind) {
    OtherOpener other(device.path());
    ASSERT_TRUE(other.lock());
    const size_t before = openDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        Record busy(device.path());
        ASSERT_EQ(d.SerOpenPort(busy.get()), SER_OPEN_IN_USE);
        Record missing("/dev/orvo-no-such-device");
        ASSERT_EQ(d.SerOpenPort(missing.get()), SER_OPEN_NOT_VALID);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

// One thread sends while another waits for what comes in: the wait does not
// hold the port, and a write the device holds (XOFF) lets the rest through.
TEST_F(RealDriver, AWaitForInputAndAHeldWriteLetOtherCallsOnThePortThrough) {
    const int32_t h = openDevice();
    ASSERT_EQ(configure(h, 7, 3, 0, 0, 1), 0);  // XON/XOFF
    std::atomic<int32_t> waited{-2};
    std::thread waiter([&] { waited = d.SerWaitRx(h, 5000); });
    const auto start = Clock::now();
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>("AT\n"), 3), 3);
    EXPECT_EQ(device.receive(3), "AT\n");
    EXPECT_LT(Clock::now() - start, 2500ms) << "the write waited for the wait";
    device.send("OK");
    waiter.join();
    EXPECT_EQ(waited, 2);

    // A held write (the device sent XOFF) and, meanwhile, a flush and a read.
    ASSERT_EQ(d.SerSetTimeoutTx(h, 5000), 0);
    device.send("\x13");
    std::atomic<int32_t> sent{-2};
    std::thread writer([&] {
        sent = d.SerPutData(h, reinterpret_cast<const uint8_t*>("held"), 4);
    });
    // Nothing tells that the write has begun to wait: a pseudo-terminal the
    // far end stopped takes no byte at all. If it has not yet, the calls
    // below do not test the wait but still pass.
    std::this_thread::sleep_for(200ms);
    uint8_t buf[8];
    const auto during = Clock::now();
    EXPECT_EQ(d.SerGetData(h, buf, sizeof buf), 2) << "the OK, read while the write is held";
    EXPECT_EQ(d.SerTxFlush(h), 0);
    EXPECT_LT(Clock::now() - during, 2500ms);
    writer.join();
    EXPECT_EQ(sent, 4) << "the flush let the held write go on";
    EXPECT_LT(Clock::now() - during, 2500ms);
}

TEST_F(RealDriver, ABreakIsHeldUntilReleased) {
    const int32_t h = openDevice();
    // A pseudo-terminal has no line to hold; the system takes the request
    // where it knows it at all, and the driver reports a refusal.
    ASSERT_NE(d.SerSetBreak, nullptr) << "the driver exports it";
    const int32_t taken = terminalsHoldBreak() ? 0 : -1;
    EXPECT_EQ(d.SerSetBreak(h, 1), taken);
    EXPECT_EQ(d.SerSetBreak(h, 0), taken);
    EXPECT_EQ(d.SerSetBreak(-1, 1), -1);
    // Either way the port goes on working.
    EXPECT_EQ(d.SerPutData(h, reinterpret_cast<const uint8_t*>("AT"), 2), 2);
    EXPECT_EQ(device.receive(2), "AT");
}
