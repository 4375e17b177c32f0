// SDRVWIN.DLL on COM ports, as run-under-wine.sh sets them up:
//   ORVO_TEST_COM, ORVO_TEST_COM_PEER  the two ends of a null-modem pair
//                                      (what one sends the other receives)
//   ORVO_TEST_COM_DANGLING             a COM name whose link points nowhere
//   ORVO_TEST_COM_BUSY                 a port another program holds exclusively
//   ORVO_TEST_COM_MODEM_LINES=1        the pair has modem lines (real ports;
//                                      a pseudo-terminal has none)
//   ORVO_TEST_COM_ANY_RATE=1           the port runs at any bit rate (real
//                                      ports; wine on a pseudo-terminal runs
//                                      only at the rates termios names)
// A test whose ports are not given is skipped.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Elapsed.h"
#include "tests/support/Eventually.h"
#include "tests/windriver/TestRecord.h"

namespace windriver {
namespace {

using Clock = std::chrono::steady_clock;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int32_t comNumber(const std::string& name) {
    return std::atoi(name.c_str() + 3);
}

// Opens name; the handle, or -1 with the open result in *result.
int32_t openPort(const std::string& name, int32_t* result = nullptr, int32_t* number = nullptr) {
    TestRecord rec(name);
    const int32_t rc = SerOpenPort(rec.get());
    if (result != nullptr) *result = rc;
    if (number != nullptr) *number = rec.fields().port;
    return rc == 0 ? rec.fields().port - 1 : -1;
}

int32_t configure(int32_t handle, int32_t bitRate, int32_t parity, int32_t dataBits, int32_t stopBits,
                  int32_t handshake) {
    TestRecord rec("", handle + 1);
    SerConfigRec& f = rec.fields();
    f.bitRate = bitRate;
    f.parity = parity;
    f.dataBits = dataBits;
    f.stopBits = stopBits;
    f.handshake = handshake;
    return SerConfigure(rec.get());
}

// What arrives on handle within ms, up to want bytes.
std::string receive(int32_t handle, size_t want, int ms) {
    std::string got;
    const Clock::time_point start = Clock::now();
    while (got.size() < want && msSince(start) < ms) {
        if (SerWaitRx(handle, 20) > 0) {
            char buf[4096];
            const int32_t n = SerGetData(handle, reinterpret_cast<uint8_t*>(buf), sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

// Reads until the line has been quiet a while: what a stalled write left in
// the pair's buffers must not reach the next test.
void drain(int32_t handle) {
    const Clock::time_point start = Clock::now();
    while (!receive(handle, 1 << 20, 150).empty() && msSince(start) < 5000) {
    }
}

int32_t put(int32_t handle, const std::string& text) {
    return SerPutData(handle, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
}

TEST(ComPortOpenTest, OpenResults) {
    const std::string com = env("ORVO_TEST_COM");
    if (com.empty()) GTEST_SKIP() << "ORVO_TEST_COM (a COM port name) is not set";
    int32_t rc = -1;
    int32_t number = 0;
    const int32_t h = openPort(com, &rc, &number);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(number, comNumber(com));
    EXPECT_EQ(SerFlowTask(h), 0);
    // The same device again, however it is named: this process has it.
    openPort(com, &rc);
    EXPECT_EQ(rc, SER_OPEN_ALREADY_OPEN);
    openPort("\\\\.\\" + com, &rc);
    EXPECT_EQ(rc, SER_OPEN_ALREADY_OPEN);
    TestRecord byNumber("", number);
    EXPECT_EQ(SerOpenPort(byNumber.get()), SER_OPEN_ALREADY_OPEN);
    EXPECT_EQ(SerClosePort(h), 0);
    expectEveryOperationFails(h);

    // Closed means given back: by number, then by its device path.
    ASSERT_EQ(SerOpenPort(byNumber.get()), 0);
    EXPECT_EQ(byNumber.fields().port, number);
    EXPECT_EQ(SerClosePort(number - 1), 0);
    const int32_t byPath = openPort("\\\\.\\" + com, &rc, &number);
    ASSERT_EQ(rc, 0);
    EXPECT_GE(number, 1001);
    EXPECT_EQ(SerClosePort(byPath), 0);

    // No such port, a device that is no serial port, a file.
    for (const std::string missing : {"COM999", "NUL", "C:\\windows\\win.ini", "\\\\.\\NoSuchDevice"}) {
        openPort(missing, &rc);
        EXPECT_EQ(rc, SER_OPEN_NOT_VALID) << missing;
    }
}

TEST(ComPortOpenTest, DanglingLinkIsNotAValidPortAndAHeldPortIsInUse) {
    const std::string dangling = env("ORVO_TEST_COM_DANGLING");
    const std::string busy = env("ORVO_TEST_COM_BUSY");
    if (dangling.empty() && busy.empty()) {
        GTEST_SKIP() << "neither ORVO_TEST_COM_DANGLING nor ORVO_TEST_COM_BUSY is set";
    }
    int32_t rc = -1;
    if (!dangling.empty()) {
        openPort(dangling, &rc);
        EXPECT_EQ(rc, SER_OPEN_NOT_VALID) << dangling;
    }
    if (!busy.empty()) {
        openPort(busy, &rc);
        EXPECT_EQ(rc, SER_OPEN_IN_USE) << busy;
    }
}

// Both ends of the pair open at 9600 8N1, no handshake.
class ComPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string com = env("ORVO_TEST_COM");
        const std::string peer = env("ORVO_TEST_COM_PEER");
        if (com.empty() || peer.empty()) {
            GTEST_SKIP() << "ORVO_TEST_COM and ORVO_TEST_COM_PEER (a null-modem pair) are not set";
        }
        a_ = openPort(com);
        b_ = openPort(peer);
        ASSERT_GE(a_, 0);
        ASSERT_GE(b_, 0);
        ASSERT_EQ(configure(a_, 7, 0, 3, 0, 0), 0);
        ASSERT_EQ(configure(b_, 7, 0, 3, 0, 0), 0);
        drain(b_);
        drain(a_);
    }
    void TearDown() override {
        if (a_ >= 0) SerClosePort(a_);
        if (b_ >= 0) SerClosePort(b_);
    }
    // Sends from the one end and receives at the other.
    void expectCarried(int32_t from, int32_t to, const std::string& text) {
        EXPECT_EQ(put(from, text), static_cast<int32_t>(text.size()));
        EXPECT_EQ(receive(to, text.size(), 3000), text);
    }
    // Writes to a with nobody reading b until the pair's buffers are full.
    int32_t stalledWrite(int32_t timeoutMs) {
        EXPECT_EQ(SerSetTimeoutTx(a_, timeoutMs), 0);
        const std::vector<uint8_t> lots(1 << 20, 'x');
        return SerPutData(a_, lots.data(), static_cast<int32_t>(lots.size()));
    }
    int32_t a_ = -1;
    int32_t b_ = -1;
};

TEST_F(ComPairTest, ConfigureTakesEveryValidSettingAndRefusesBadOnes) {
    for (const int32_t rate : {0, 1, 11}) EXPECT_EQ(configure(a_, rate, 0, 3, 0, 0), 0) << rate;
    EXPECT_EQ(configure(a_, 9, 3, 0, 1, 0), 0);  // mark parity, 5 bits, 1.5 stop bits
    EXPECT_EQ(configure(a_, 9, 2, 2, 1, 0), 0);
    for (const int32_t shake : {1, 2, 3, 0x30, 0xC0}) EXPECT_EQ(configure(a_, 7, 0, 3, 0, shake), 0) << shake;
    EXPECT_EQ(configure(a_, 30, 0, 3, 0, 0), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(a_, SER_BR_EXACT, 0, 3, 0, 0), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(a_, 7, 4, 3, 0, 0), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(a_, 7, 0, 4, 0, 0), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(a_, 7, 0, 3, 2, 0), SER_CONFIG_BAD_SETTING);
    EXPECT_EQ(configure(a_, 7, 0, 3, 0, 4), SER_CONFIG_BAD_SETTING);
    // By name too, and the line still carries bytes afterwards.
    TestRecord byName(env("ORVO_TEST_COM"));
    EXPECT_EQ(SerConfigure(byName.get()), 0);
    expectCarried(a_, b_, "after configure");
}

TEST_F(ComPairTest, BitRatesReachTheDevice) {
    // The device's rate as the next opener reads it, once the driver has
    // given the port back (Windows lets one opener have it at a time).
    const std::string com = env("ORVO_TEST_COM");
    const auto rateSetBy = [&](int32_t code) -> DWORD {
        EXPECT_EQ(configure(a_, code, 0, 3, 0, 0), 0) << code;
        EXPECT_EQ(SerClosePort(a_), 0);
        DWORD rate = 0;
        HANDLE next = ::CreateFileA(("\\\\.\\" + com).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (next != INVALID_HANDLE_VALUE) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (::GetCommState(next, &dcb)) rate = dcb.BaudRate;
            ::CloseHandle(next);
        }
        a_ = openPort(com);
        return rate;
    };
    EXPECT_EQ(rateSetBy(17), 230400u);
    EXPECT_EQ(rateSetBy(29), 4000000u);
    EXPECT_EQ(rateSetBy(12), 50u);
    EXPECT_EQ(rateSetBy(SER_BR_EXACT | 9600), 9600u);
    EXPECT_EQ(rateSetBy(SER_BR_EXACT | 460800), 460800u);
    // wine sets a rate no termios speed names through a UART's divisor with
    // the speed at 38400, and a pseudo-terminal has no UART.
    const bool anyRate = env("ORVO_TEST_COM_ANY_RATE") == "1";
    EXPECT_EQ(rateSetBy(SER_BR_EXACT | 250000), anyRate ? 250000u : 38400u);
    ASSERT_GE(a_, 0);
}

TEST_F(ComPairTest, BytesWrittenAtOneEndAreReadAtTheOther) {
    expectCarried(a_, b_, std::string("hello\0\xff\x13\x11", 9));
    expectCarried(b_, a_, "and back");
    EXPECT_EQ(SerPutByte(a_, 0xA5), 0);
    ASSERT_GT(SerWaitRx(b_, 3000), 0);
    EXPECT_EQ(SerGetByte(b_), 0xA5);
    EXPECT_EQ(SerPutByte(a_, 256), -1);
    EXPECT_EQ(SerPutByte(a_, -1), -1);
    // Reads never wait: nothing is there, so they return at once, also with
    // a receive time-out set, which a read that waited would wait out.
    ASSERT_EQ(SerSetTimeoutRx(b_, 5000), 0);
    uint8_t buf[8];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(SerGetByte(b_), -1);
    EXPECT_EQ(SerGetData(b_, buf, sizeof buf), 0);
    EXPECT_EQ(SerGetData(b_, nullptr, 4), -1);
    EXPECT_EQ(SerPutData(a_, buf, -1), -1);
    EXPECT_LT(msSince(start), 2500) << "well under the receive time-out";
    EXPECT_EQ(SerTxDrain(a_), 0);
    EXPECT_GE(SerTxBufCount(a_), 0);
}

TEST_F(ComPairTest, ReadyCountAndReceiveFlush) {
    EXPECT_EQ(SerRxReadyCount(b_), 0);
    ASSERT_EQ(put(a_, "12345"), 5);
    EXPECT_TRUE(eventually([this] { return SerRxReadyCount(b_) >= 5; }, std::chrono::seconds(3)));
    EXPECT_EQ(SerRxReadyCount(b_), 5);
    EXPECT_EQ(SerRxFlush(b_), 0);
    EXPECT_EQ(SerRxReadyCount(b_), 0);
    uint8_t buf[8];
    EXPECT_EQ(SerGetData(b_, buf, sizeof buf), 0);
}

TEST_F(ComPairTest, WaitRxEndsWhenAByteArrivesOrItsTimeHasPassed) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(SerWaitRx(b_, 300), 0);
    EXPECT_GE(msSince(start), 290);
    EXPECT_LT(msSince(start), 1500);
    EXPECT_EQ(SerWaitRx(b_, 0), 0);
    EXPECT_EQ(SerWaitRx(b_, -1), -1);

    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        put(a_, "!");
    });
    start = Clock::now();
    const int32_t waiting = SerWaitRx(b_, 5000);
    const long long took = msSince(start);
    sender.join();
    EXPECT_EQ(waiting, 1);
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 2000);
    // Already waiting: at once, not when the 5 s asked for have passed.
    start = Clock::now();
    EXPECT_EQ(SerWaitRx(b_, 5000), 1);
    EXPECT_LT(msSince(start), 2500) << "well under the time asked for";
}

TEST_F(ComPairTest, WriteWaitsAtMostTheSendTimeoutWhileOtherCallsGoOn) {
    std::atomic<bool> writing{true};
    std::atomic<long long> slowestQuery{0};
    std::atomic<int> queries{0};
    std::thread poller([&] {
        while (writing.load()) {
            const Clock::time_point start = Clock::now();
            EXPECT_GE(SerRxReadyCount(a_), 0);
            EXPECT_GE(SerTxBufCount(a_), 0);
            slowestQuery = std::max(slowestQuery.load(), msSince(start));
            ++queries;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const Clock::time_point start = Clock::now();
    const int32_t sent = stalledWrite(500);
    const long long took = msSince(start);
    writing = false;
    poller.join();
    EXPECT_GE(sent, 0);
    EXPECT_LT(sent, 1 << 20);
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 3000);
    EXPECT_GT(queries.load(), 10);
    EXPECT_LT(slowestQuery.load(), 200);
    EXPECT_EQ(SerTxFlush(a_), 0);
    drain(b_);
    expectCarried(a_, b_, "flowing again");
}

TEST_F(ComPairTest, ClosingEndsAWriteThatHasNoTimeLimit) {
    std::atomic<int32_t> sent{-2};
    std::thread writer([&] { sent = stalledWrite(0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sent.load(), -2);  // still waiting for the line
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(SerClosePort(a_), 0);
    writer.join();
    EXPECT_LT(msSince(start), 2000);
    EXPECT_GE(sent.load(), 0);
    EXPECT_LT(sent.load(), 1 << 20);
    a_ = openPort(env("ORVO_TEST_COM"));
    ASSERT_GE(a_, 0);
    drain(b_);
}

TEST_F(ComPairTest, TxFlushRestartsOutputThatAnXoffStopped) {
    ASSERT_EQ(configure(a_, 7, 0, 3, 0, 1), 0);  // XON/XOFF
    ASSERT_EQ(SerPutByte(b_, 0x13), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(SerSetTimeoutTx(a_, 300), 0);
    EXPECT_LT(put(a_, "held"), 4);
    EXPECT_EQ(receive(b_, 1, 300), "");
    EXPECT_EQ(SerTxFlush(a_), 0);
    EXPECT_EQ(put(a_, "go"), 2);
    EXPECT_EQ(receive(b_, 2, 3000), "go");
}

TEST_F(ComPairTest, TimeoutsBreakErrorsAndModemLines) {
    EXPECT_EQ(SerSetTimeoutRx(a_, 1234), 0);
    EXPECT_EQ(SerSetTimeoutTx(a_, 567), 0);
    EXPECT_EQ(SerGetTimeoutRx(a_), 1234);
    EXPECT_EQ(SerGetTimeoutTx(a_), 567);
    EXPECT_EQ(SerSetTimeoutRx(a_, -1), -1);
    EXPECT_EQ(SerGetTimeoutRx(a_), 1234);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(SerSendBreak(a_, 100), 0);
    EXPECT_GE(msSince(start), 90);
    // A quiet line has no errors to report.
    for (auto query : {SerSigFrameErr, SerSigParityErr, SerSigOverrun, SerSigBreak, SerRxOverflow}) {
        EXPECT_EQ(query(b_), 0);
    }
    // A pseudo-terminal has no modem lines: the device's refusal reaches
    // the caller instead of a made-up state.
    const bool lines = env("ORVO_TEST_COM_MODEM_LINES") == "1";
    for (auto set : {SerSetDTR, SerSetRTS}) {
        EXPECT_EQ(set(a_, 0), lines ? 0 : -1);
        EXPECT_EQ(set(a_, 1), lines ? 0 : -1);
    }
    for (auto query : {SerSigCTS, SerSigDSR, SerSigCD, SerSigRing}) {
        const int32_t state = query(a_);
        if (lines) {
            EXPECT_TRUE(state == 0 || state == 1) << state;
        } else {
            EXPECT_EQ(state, -1);
        }
    }
    EXPECT_EQ(configure(a_, 7, 0, 3, 0, 0), 0);  // with the lines as last set
}

}  // namespace
}  // namespace windriver
