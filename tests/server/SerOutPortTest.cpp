// The serial line adapter with the real driver on a pseudo-terminal device.
#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Serlib/Driver.h"
#include "Serlib/SerialConfig.h"
#include "Serlib/SerialPort.h"
#include "tests/support/ChildProcess.h"
#include "tests/serlib/FakeDriver.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/VirtualModem.h"
#include "server/SerOutPort.h"

using namespace std::chrono_literals;

using Serlib::SerialConfig;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// serin as the exchange left it: the answer first, zeros after it.
Bytes expectedBuffer(const std::string& answer) {
    Bytes b(SerOutPort::kRxBufferSize, 0);
    std::copy(answer.begin(), answer.end(), b.begin());
    return b;
}

// The scripted driver in place of the process's real one while it lives.
class FakeDriverInUse {
public:
    FakeDriverInUse() : real_(realDriver()), fake_(FakeDriver::install()) {}
    ~FakeDriverInUse() { Serlib::Driver::install(real_); }
    FakeDriver& fake() { return fake_; }

private:
    static Serlib::DriverOps realDriver() {
        Serlib::Driver::initialise();
        return Serlib::Driver::ops();
    }

    Serlib::DriverOps real_;
    FakeDriver& fake_;
};

}  // namespace

TEST(SerOutPort, BuildsTheConfigurationFromTheLineSettingsAndSetsTheLine) {
    PtyDevice device(PtyDevice::modem());
    {
        SerOutPort sop(device.path(), 19200, 8, 1, "None", "None", 1);
        ASSERT_TRUE(sop.PortOpen());
        EXPECT_EQ(sop.serCfg->getBitRate(), SerialConfig::BR_19200);
        EXPECT_EQ(sop.serCfg->getDataBits(), SerialConfig::LN_8BITS);
        EXPECT_EQ(sop.serCfg->getStopBits(), SerialConfig::ST_1BITS);
        EXPECT_EQ(sop.serCfg->getParity(), SerialConfig::PY_NONE);
        EXPECT_EQ(sop.serCfg->getHandshake(), SerialConfig::HS_NONE);
        EXPECT_FALSE(sop.serCfg->getHardFlow());
        EXPECT_EQ(sop.serCfg->getTxLen(), 2048);
        EXPECT_EQ(sop.serCfg->getRxLen(), 4096);
        const termios tio = device.settings();
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
        EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "output processing would turn LF into CR LF";
    }
    {
        SerOutPort sop(device.path(), 115200, 7, 2, "Even", "XONXOFF", 0);
        ASSERT_TRUE(sop.PortOpen());
        EXPECT_EQ(sop.serCfg->getBitRate(), SerialConfig::BR_115200);
        EXPECT_EQ(sop.serCfg->getDataBits(), SerialConfig::LN_7BITS);
        EXPECT_EQ(sop.serCfg->getStopBits(), SerialConfig::ST_2BITS);
        EXPECT_EQ(sop.serCfg->getParity(), SerialConfig::PY_EVEN);
        EXPECT_EQ(sop.serCfg->getHandshake(), SerialConfig::HS_XONXOFF);
        const termios tio = device.settings();
        // A pseudo-terminal keeps the speed but no framing of its own.
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    }
}

TEST(SerOutPort, OddParityReachesTheLine) {
    PtyDevice device;
    {
        SerOutPort sop(device.path(), 9600, 8, 1, "Odd", "None", 0);
        ASSERT_TRUE(sop.PortOpen());
        EXPECT_EQ(sop.serCfg->getParity(), SerialConfig::PY_ODD);
        // A pseudo-terminal clears PARENB but keeps PARODD.
        EXPECT_NE(device.settings().c_cflag & PARODD, 0u);
    }
    {
        SerOutPort sop(device.path(), 9600, 8, 1, "Even", "None", 0);
        ASSERT_TRUE(sop.PortOpen());
        EXPECT_EQ(device.settings().c_cflag & PARODD, 0u);
    }
}

// A pseudo-terminal refuses DTR, so the driver's calls are watched instead.
TEST(SerOutPort, RaisesDtrExactlyWhenTheSettingIsOne) {
    FakeDriverInUse driver;
    {
        SerOutPort sop("COM1", 9600, 8, 1, "None", "None", 1);
        ASSERT_TRUE(sop.PortOpen());
    }
    EXPECT_EQ(driver.fake().dtrLevels, std::vector<int32_t>{1});
    driver.fake().dtrLevels.clear();
    {
        SerOutPort sop("COM1", 9600, 8, 1, "None", "None", 0);
        ASSERT_TRUE(sop.PortOpen());
    }
    EXPECT_EQ(driver.fake().dtrLevels, std::vector<int32_t>{}) << "DTR is left as it is";
}

TEST(SerOutPort, HandshakeAndUnknownValuesMapAsTheTablesSay) {
    PtyDevice device(PtyDevice::modem());
    {
        SerOutPort sop(device.path(), 9600, 8, 1, "None", "CTSDTR", 0);
        EXPECT_EQ(sop.serCfg->getHandshake(), SerialConfig::HS_CTSRTS);
    }
    {
        // "Space" and 9 stop bits are in no table: the record keeps its
        // defaults. A rate no code has goes as itself, for a driver that
        // sets any rate.
        SerOutPort sop(device.path(), 1234, 9, 3, "Space", "Bogus", 0);
        EXPECT_EQ(sop.serCfg->getBitRate(), SerialConfig::BR_EXACT | 1234);
        EXPECT_EQ(sop.serCfg->getDataBits(), SerialConfig::LN_8BITS);
        EXPECT_EQ(sop.serCfg->getStopBits(), SerialConfig::ST_1BITS);
        EXPECT_EQ(sop.serCfg->getParity(), SerialConfig::PY_NONE);
        EXPECT_EQ(sop.serCfg->getHandshake(), SerialConfig::HS_NONE);
    }
    {
        SerOutPort sop(device.path(), 57600, 5, 1, "Mark", "SoftOut", 0);
        EXPECT_EQ(sop.serCfg->getBitRate(), SerialConfig::BR_57600);
        EXPECT_EQ(sop.serCfg->getDataBits(), SerialConfig::LN_5BITS);
        EXPECT_EQ(sop.serCfg->getParity(), SerialConfig::PY_MARK);
        EXPECT_EQ(sop.serCfg->getHandshake(), SerialConfig::HS_SOFT_OUT);
    }
    for (const int rate : {50, 4800, 230400, 4000000}) {
        SerOutPort sop(device.path(), rate, 8, 1, "None", "None", 0);
        EXPECT_EQ(SerialConfig::rateOfCode(sop.serCfg->getBitRate()), rate) << "a termios rate by its code";
        EXPECT_LT(sop.serCfg->getBitRate(), SerialConfig::BR_EXACT) << rate;
    }
}

TEST(SerOutPort, TextAndByteExchangesPutExactlyTheirBytesOnTheLine) {
    PtyDevice device(PtyDevice::modem());
    SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());

    const Bytes& answer = sop.SendSerial(std::string("AT"));
    EXPECT_EQ(&answer, &sop.Buffer()) << "the adapter hands out its one buffer";
    EXPECT_EQ(sop.GetSerError(), 0);
    EXPECT_EQ(sop.SerCount(), 4);
    EXPECT_EQ(sop.Buffer(), expectedBuffer("OK\r\n"));
    EXPECT_EQ(device.received(), "AT\n");

    sop.SendSerial(Bytes{0x02, 0x03});
    ASSERT_TRUE(device.waitReceived(5));
    EXPECT_EQ(device.received(), std::string("AT\n\x02\x03", 5));
    EXPECT_EQ(sop.SerCount(), 0);
    EXPECT_EQ(sop.Buffer(), expectedBuffer(""));
}

TEST(SerOutPort, KeepsAnswerBytesBeyondTheBufferForTheNextExchange) {
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += static_cast<char>('a' + i % 26);
    PtyDevice device(PtyDevice::lines([&](const std::string& line) { return line == "FLOOD" ? forty : std::string(); }));
    SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());

    sop.SendSerial(std::string("FLOOD"));
    EXPECT_EQ(sop.SerCount(), 32);
    EXPECT_EQ(sop.Buffer(), bytesOf(forty.substr(0, 32)));
    ASSERT_TRUE(device.waitReplied(1));

    sop.SendSerial(std::string("quiet"));
    EXPECT_EQ(sop.SerCount(), 8);
    EXPECT_EQ(sop.Buffer(), expectedBuffer(forty.substr(32)));
}

TEST(SerOutPort, AnAnswerWithinTheWaitIsCollectedAndALaterOneIsNot) {
    {
        PtyDevice device(PtyDevice::modem(), 100ms);
        SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
        ASSERT_TRUE(sop.PortOpen());
        sop.SendSerial(std::string("AT"));
        EXPECT_EQ(sop.SerCount(), 4) << "an answer 100 ms after the command is its answer";
    }
    {
        PtyDevice device(PtyDevice::modem(), 200ms);
        SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
        ASSERT_TRUE(sop.PortOpen());
        sop.SendSerial(std::string("AT"));
        EXPECT_EQ(sop.SerCount(), 0) << "an answer 200 ms after the command comes after the wait";
    }
}

TEST(SerOutPort, ALateAnswerIsCollectedByTheNextExchange) {
    PtyDevice device(PtyDevice::modem(), 400ms);
    SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());

    sop.SendSerial(std::string("AT"));
    EXPECT_EQ(sop.GetSerError(), 0);
    EXPECT_EQ(sop.SerCount(), 0);
    ASSERT_TRUE(device.waitReplied(1));
    // This command's own answer comes 400 ms after it, long after the wait.
    sop.SendSerial(std::string("AT"));
    EXPECT_EQ(sop.SerCount(), 4);
    EXPECT_EQ(sop.Buffer(), expectedBuffer("OK\r\n"));
}

TEST(SerOutPort, AFailedWriteReportsNoBytesAndDoesNotWait) {
    PtyDevice device(PtyDevice::modem());
    SerOutPort sop(device.path(), 9600, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());
    sop.SendSerial(std::string("AT"));
    ASSERT_EQ(sop.SerCount(), 4);

    SerOutPort::serialPort()->close();
    for (int form = 0; form < 2; ++form) {
        const auto start = std::chrono::steady_clock::now();
        if (form == 0) {
            sop.SendSerial(std::string("AT"));
        } else {
            sop.SendSerial(Bytes{0x41});
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(sop.GetSerError(), 1);
        EXPECT_EQ(sop.SerCount(), 0) << "not the previous exchange's count over a cleared buffer";
        EXPECT_EQ(sop.Buffer(), expectedBuffer(""));
        EXPECT_LT(took, std::chrono::milliseconds(SerOutPort::kAnswerWaitMs));
    }
}

TEST(SerOutPort, APortThatDoesNotOpenLeavesNoPortAndEveryExchangeFailsAtOnce) {
    TempDir dir;
    SerOutPort sop(dir.path() + "/no-such-device", 9600, 8, 1, "None", "None", 1);
    EXPECT_FALSE(SerOutPort::serialPort());
    EXPECT_FALSE(SerOutPort::SerialOutStream());
    EXPECT_FALSE(SerOutPort::SerialInStream());
    const auto start = std::chrono::steady_clock::now();
    sop.SendSerial(std::string("AT"));
    EXPECT_EQ(sop.GetSerError(), 1);
    sop.SendSerial(Bytes{0x0D, 0x0A});
    EXPECT_EQ(sop.GetSerError(), 1);
    EXPECT_EQ(sop.SerCount(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(SerOutPort::kAnswerWaitMs));
}

// With an answer gap the answer is complete once the device falls quiet; the
// device here answers only what the test sends it, after the command came.
TEST(SerOutPort, WithAnAnswerGapTheAnswerEndsWhenTheDeviceFallsQuiet) {
    using Clock = std::chrono::steady_clock;
    PtyDevice device(PtyDevice::lines([](const std::string&) { return std::string(); }));
    SerOutPort sop(device.path(), 115200, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());
    // The gap far longer than the device's pause inside an answer, the window
    // far longer than the gap: which one ended an exchange is never close.
    constexpr std::chrono::milliseconds window = 1500ms, gap = 200ms;
    sop.SetAnswerTiming(static_cast<int>(window.count()), static_cast<int>(gap.count()));
    size_t sent = 0;
    // One exchange of "AT" while the device plays its pieces: how long it
    // took, when it ended and when the device sent each piece.
    struct Exchange {
        Clock::duration took;
        Clock::time_point ended;
        std::vector<Clock::time_point> pieceSent;
    };
    const auto exchange = [&](const std::vector<std::pair<std::chrono::milliseconds, std::string>>& pieces) {
        sent += 3;
        Exchange e;
        std::thread play([&] {
            if (!device.waitReceived(sent)) return;
            for (const auto& [pause, bytes] : pieces) {
                std::this_thread::sleep_for(pause);
                device.send(bytes);
                e.pieceSent.push_back(Clock::now());
            }
        });
        const auto before = Clock::now();
        sop.SendSerial(std::string("AT"));
        e.ended = Clock::now();
        e.took = e.ended - before;
        play.join();
        return e;
    };
    const auto answer = [&] { return std::string(sop.Buffer().begin(), sop.Buffer().begin() + sop.SerCount()); };

    // Pieces closer together than the gap are one answer, done long before
    // the window would be.
    Exchange e = exchange({{0ms, "OK"}, {10ms, "\r\n"}});
    EXPECT_EQ(answer(), "OK\r\n");
    EXPECT_LT(e.took / 1ms, window / 2 / 1ms);

    // A pause longer than the gap splits it: the exchange is over before the
    // rest comes, and the rest is the next answer.
    e = exchange({{0ms, "OK"}, {gap + 500ms, "\r\n"}});
    EXPECT_EQ(answer(), "OK");
    ASSERT_EQ(e.pieceSent.size(), 2u);
    EXPECT_LT(e.ended, e.pieceSent[1]) << "the exchange waited for the rest";
    exchange({});
    EXPECT_EQ(answer(), "\r\n");

    // No answer at all: the whole window.
    e = exchange({});
    EXPECT_EQ(sop.SerCount(), 0);
    EXPECT_GE(e.took / 1ms, (window - 10ms) / 1ms);

    // 32 bytes end the wait at once, whatever the gap; the rest waits.
    sop.SetAnswerTiming(4000, 2000);
    e = exchange({{0ms, std::string(40, 'x')}});
    EXPECT_EQ(answer(), std::string(32, 'x'));
    EXPECT_LT(e.took / 1ms, 1000) << "well under the gap";
}

// Bytes left over from an answer cut at 32 are waiting when the next command
// goes out. They join that command's answer, but the gap counts only from
// the device's answer to it: every later answer is its own command's.
TEST(SerOutPort, WithAnAnswerGapLeftOverBytesDoNotShiftTheAnswersThatFollow) {
    PtyDevice device(PtyDevice::echo(), 20ms);
    SerOutPort sop(device.path(), 115200, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());
    sop.SetAnswerTiming(150, 2);
    const auto answerTo = [&](const std::string& command) {
        sop.SendSerial(command);
        return std::string(sop.Buffer().begin(), sop.Buffer().begin() + sop.SerCount());
    };
    EXPECT_EQ(answerTo("x1"), "x1\n");
    EXPECT_EQ(answerTo(std::string(32, 'Z')), std::string(32, 'Z')) << "cut at 32; the line feed is left";
    EXPECT_EQ(answerTo("x3"), "\nx3\n") << "the left-over byte comes first";
    EXPECT_EQ(answerTo("x4"), "x4\n");
    EXPECT_EQ(answerTo("x5"), "x5\n");
}

// With an answer end (CR LF) the answer is complete as soon as it has come,
// end included, long before the window would pass; bytes after the end
// begin the next answer, which still ends at its own end, not at theirs.
TEST(SerOutPort, WithAnAnswerEndTheAnswerEndsThereAndTheNextOneRealigns) {
    PtyDevice device(PtyDevice::lines([](const std::string& line) {
        if (line == "TWICE") return std::string("ONE\r\nTWO\r\n");
        if (line == "X") return std::string("THREE\r\n");
        if (line == "NOEND") return std::string("ABC");
        if (line == "LONG") return std::string(40, 'L');
        return std::string();
    }));
    SerOutPort sop(device.path(), 115200, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());
    sop.SetAnswerTiming(1500, 0);
    sop.SetAnswerEnd(Bytes{0x0D, 0x0A});
    const auto answerTo = [&](const std::string& command, std::chrono::steady_clock::duration& took) {
        const auto before = std::chrono::steady_clock::now();
        sop.SendSerial(command);
        took = std::chrono::steady_clock::now() - before;
        return std::string(sop.Buffer().begin(), sop.Buffer().begin() + sop.SerCount());
    };
    std::chrono::steady_clock::duration took{};
    EXPECT_EQ(answerTo("TWICE", took), "ONE\r\n");
    EXPECT_TRUE(sop.EndedAtDelimiter());
    EXPECT_LT(took, 750ms) << "half the window it would otherwise wait";
    // The second line came with the first; it starts this answer, whose end
    // is the device's answer to this command.
    EXPECT_EQ(answerTo("X", took), "TWO\r\nTHREE\r\n");
    EXPECT_LT(took, 750ms);
    EXPECT_EQ(answerTo("X", took), "THREE\r\n") << "realigned";
    // Without an end the window still ends it, and so do 32 bytes.
    EXPECT_EQ(answerTo("NOEND", took), "ABC");
    EXPECT_FALSE(sop.EndedAtDelimiter());
    EXPECT_GE(took, 1400ms);
    sop.SetAnswerTiming(5000, 0);
    EXPECT_EQ(answerTo("LONG", took), std::string(32, 'L'));
    EXPECT_LT(took, 2500ms) << "half the window";
}

// A slow line delivers its answer a character at a time: the end is found
// across the reads.
TEST(SerOutPort, AnAnswerEndSplitOverSlowReadsIsStillFound) {
    VirtualModem modem({"--wire", "9600"});
    SerOutPort sop(modem.path(), 9600, 8, 1, "None", "None", 0);
    ASSERT_TRUE(sop.PortOpen());
    sop.SetAnswerTiming(2000, 0);
    sop.SetAnswerEnd(Bytes{0x0D, 0x0A});
    const auto before = std::chrono::steady_clock::now();
    sop.SendSerial(std::string("AT"));
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(std::string(sop.Buffer().begin(), sop.Buffer().begin() + sop.SerCount()), "OK\r\n");
    EXPECT_TRUE(sop.EndedAtDelimiter());
    EXPECT_LT(took, 1000ms);
}
