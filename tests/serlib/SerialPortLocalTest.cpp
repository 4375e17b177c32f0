// The port object over the scripted driver: the order of driver calls, the
// checks in front of them and the exact texts of every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <thread>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/serlib/FakeDriver.h"
#include "tests/support/Eventually.h"
#include "tests/support/Raises.h"
#include "Serlib/FlowControlTask.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialPortLocal.h"

using namespace std::chrono_literals;
using Serlib::Bytes;
using Serlib::HostInfo;
using Serlib::IOError;
using Serlib::ScopedHostOverride;
using Serlib::SerialConfig;
using Serlib::SerialPortLocal;
using Clock = std::chrono::steady_clock;

namespace {

class PortOnHost : public ::testing::Test {
protected:
    explicit PortOnHost(const std::string& os = "Linux") : host_(HostInfo{os, "amd64", "", ""}) {}

    // A port opened by name through the scripted driver (number 1, handle 0).
    std::unique_ptr<SerialPortLocal> openPort(const std::string& name = "COM1") {
        cfg = std::make_shared<SerialConfig>(name);
        auto port = std::make_unique<SerialPortLocal>(cfg);
        fake.calls.clear();
        fake.handles.clear();
        return port;
    }

    ScopedHostOverride host_;
    FakeDriver& fake = FakeDriver::install();
    std::shared_ptr<SerialConfig> cfg;
};

class PortOnLinux : public PortOnHost {};

class PortOnWindowsNT : public PortOnHost {
protected:
    PortOnWindowsNT() : PortOnHost("Windows NT") {}
};

}  // namespace

TEST_F(PortOnLinux, OpenResultsBecomeTheirMessagesAndNoPortIsMade) {
    const std::pair<int, const char*> cases[] = {
        {1000, "SerOpenPort failed: Port is already open"},
        {1002, "SerOpenPort failed: Port is in use"},
        {1003, "SerOpenPort failed: Port not valid"},
        {7, "SerOpenPort failed: 7"},
        {2013, "SerOpenPort failed: 2013"},
    };
    for (const auto& c : cases) {
        fake.openResult = c.first;
        auto record = std::make_shared<SerialConfig>("COM1");
        EXPECT_EQ(raisedText<IOError>([&] { SerialPortLocal port(record); }), c.second);
        EXPECT_EQ(record->getPort(), 0);
    }
    EXPECT_FALSE(fake.called("SerConfigure"));
}

TEST_F(PortOnLinux, OpeningByNameTakesTheNumberTheDriverStored) {
    fake.openedNumber = 3;
    auto record = std::make_shared<SerialConfig>("COM3");
    SerialPortLocal port(record);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPortNum(), 2);
    EXPECT_EQ(record->getPort(), 3);
    EXPECT_EQ(port.getConfig(), record);  // the caller's record, not a copy
    // Open, configure, then the receive timeout; no send timeout on Linux.
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"SerOpenPort", "SerConfigure", "SerSetTimeoutRx"}));
    EXPECT_EQ(fake.handles[2], 2);
    EXPECT_EQ(fake.timeoutRx, 0);
    // Opening on Linux turns the caller's hard-flow wish off.
    EXPECT_FALSE(record->getHardFlow());
    EXPECT_EQ(fake.lastConfigure.hardFlow, 0);
}

TEST_F(PortOnLinux, NumberedRecordKeepsItsNumber) {
    auto record = std::make_shared<SerialConfig>(1);
    SerialPortLocal port(record);
    EXPECT_EQ(port.getPortNum(), 0);
    EXPECT_EQ(std::string(fake.lastConfigure.baseName, fake.lastConfigure.baseName + fake.lastConfigure.baseNameLen),
              "/dev/ttyS");
}

TEST(PortTimeoutsPerHost, OpenSetsTheHostsTimeouts) {
    struct Case {
        const char* os;
        int rx;
        int tx;  // -1: the send timeout is not set at all
    };
    for (const Case c : {Case{"Mac OS", 2000, 2000}, Case{"Windows NT", 0, 0}, Case{"Linux", 0, -1}}) {
        ScopedHostOverride h(HostInfo{c.os, "x86", "", ""});
        FakeDriver& fake = FakeDriver::install();
        fake.timeoutRx = fake.timeoutTx = -1;
        SerialPortLocal port(std::make_shared<SerialConfig>("COM1"));
        EXPECT_EQ(fake.timeoutRx, c.rx) << c.os;
        EXPECT_EQ(fake.timeoutTx, c.tx) << c.os;
        EXPECT_EQ(fake.called("SerSetTimeoutTx"), c.tx != -1) << c.os;
    }
}

TEST(PortHardFlow, OnlyWindows95KeepsTheHardFlowWish) {
    for (const char* os : {"Windows 95", "Windows NT", "Linux"}) {
        ScopedHostOverride h(HostInfo{os, "x86", "", ""});
        FakeDriver::install();
        auto record = std::make_shared<SerialConfig>("COM1");
        SerialPortLocal port(record);
        EXPECT_EQ(record->getHardFlow(), std::string(os) == "Windows 95") << os;
    }
}

TEST_F(PortOnLinux, CloseForgetsTheHandleAndASecondCloseCallsNothing) {
    auto port = openPort();
    port->close();
    EXPECT_EQ(port->getPortNum(), -1);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(fake.count("SerClosePort"), 1);
    EXPECT_EQ(fake.handles.back(), 0);
    port->close();
    EXPECT_EQ(fake.count("SerClosePort"), 1);
}

TEST_F(PortOnLinux, FailedCloseLeavesThePortOpen) {
    auto port = openPort();
    fake.closeResult = 5;
    EXPECT_EQ(raisedText<IOError>([&] { port->close(); }), "ClosePort failed");
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), 0);
    fake.closeResult = 0;
}

TEST_F(PortOnLinux, DestructionClosesThePortAndSwallowsErrors) {
    auto port = openPort();
    port.reset();
    EXPECT_EQ(fake.count("SerClosePort"), 1);
    auto failing = openPort();
    fake.closeResult = 9;
    EXPECT_NO_THROW(failing.reset());
}

TEST_F(PortOnLinux, ResetReopensWithoutTheOpenTimeouts) {
    auto port = openPort();
    port->reset();
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"SerClosePort", "SerOpenPort", "SerConfigure"}));

    fake.openResult = 1002;
    EXPECT_EQ(raisedText<IOError>([&] { port->reset(); }), "reset: SerOpenPort failed: 1002");
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), -1);
}

TEST_F(PortOnLinux, ConfigureFailureKeepsThePortOpenAndOtherRecordsAreNotStored) {
    auto port = openPort();
    fake.configureResult = 1004;
    EXPECT_EQ(raisedText<IOError>([&] { port->configure(); }), "Configure failed: 1004");
    EXPECT_TRUE(port->isOpen());
    fake.configureResult = 0;

    SerialConfig other("COM1");
    other.setPortNum(1);
    other.setBitRate(SerialConfig::BR_115200);
    port->configure(other);
    EXPECT_EQ(fake.lastConfigure.bitRate, SerialConfig::BR_115200);
    EXPECT_EQ(port->getConfig(), cfg);
    EXPECT_EQ(cfg->getBitRate(), SerialConfig::BR_9600);
}

TEST_F(PortOnLinux, FailedConfigureInsideOpenClosesWhatItOpened) {
    // A port left open here would keep the device locked with no object to
    // close it through (the constructor failed).
    fake.configureResult = 3;
    auto record = std::make_shared<SerialConfig>("COM1");
    std::unique_ptr<SerialPortLocal> port;
    EXPECT_EQ(raisedText<IOError>([&] { port = std::make_unique<SerialPortLocal>(record); }), "Configure failed: 3");
    EXPECT_EQ(fake.count("SerClosePort"), 1);
    SerialPortLocal later;
    later.setConfig(record);
    EXPECT_EQ(raisedText<IOError>([&] { later.open(); }), "Configure failed: 3");
    EXPECT_EQ(fake.count("SerClosePort"), 2);
    EXPECT_FALSE(later.isOpen());
    EXPECT_EQ(later.getPortNum(), -1);
}

TEST_F(PortOnLinux, RecordShortcutsChangeOnlyTheRecord) {
    auto port = openPort();
    port->setBitRate(SerialConfig::BR_300);
    port->setDataBits(SerialConfig::LN_7BITS);
    port->setStopBits(SerialConfig::ST_2BITS);
    port->setParity(SerialConfig::PY_EVEN);
    port->setHandshake(SerialConfig::HS_XONXOFF);
    port->setPortName("COM7");
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(cfg->getBitRate(), SerialConfig::BR_300);
    EXPECT_EQ(port->getBitRate(), SerialConfig::BR_300);
    EXPECT_EQ(port->getDataBits(), SerialConfig::LN_7BITS);
    EXPECT_EQ(port->getStopBits(), SerialConfig::ST_2BITS);
    EXPECT_EQ(port->getParity(), SerialConfig::PY_EVEN);
    EXPECT_EQ(port->getHandshake(), SerialConfig::HS_XONXOFF);
    EXPECT_EQ(port->getPortName(), "COM7");
    EXPECT_THROW(port->setBitRate(30), std::invalid_argument);
    EXPECT_THROW(port->setHandshake(3), std::invalid_argument);
    port->configure();
    EXPECT_EQ(fake.lastConfigure.bitRate, SerialConfig::BR_300);
    EXPECT_EQ(fake.lastConfigure.parity, SerialConfig::PY_EVEN);
}

TEST_F(PortOnLinux, EmptySendsCallNoDriverButACountedZeroDoes) {
    auto port = openPort();
    port->putString("");
    port->putData(Bytes{});
    EXPECT_FALSE(fake.called("SerPutData"));
    port->putData(Bytes{1, 2, 3}, 0);
    EXPECT_EQ(fake.putCounts, std::vector<int32_t>{0});
}

TEST_F(PortOnLinux, SendsPassBytesAndCounts) {
    auto port = openPort();
    port->putByte(0xFF);
    port->putString("AT\n");
    port->putData(Bytes{9, 8});
    port->putData(Bytes{1, 2, 3, 4}, 2);
    Bytes ten;
    for (unsigned char i = 0; i < 10; ++i) ten.push_back(i);
    port->putData(ten, 3, 7);
    EXPECT_EQ(fake.sent, (std::vector<uint8_t>{0xFF, 'A', 'T', '\n', 9, 8, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(fake.putCounts, (std::vector<int32_t>{3, 2, 2, 7}));
}

TEST_F(PortOnLinux, BoundsAreCheckedBeforeSending) {
    auto port = openPort();
    const Bytes ten(10, 0x55);
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(ten, 11); }), "putData: count out of bounds");
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(ten, 4, 7); }), "putData3: count out of bounds");
    EXPECT_THROW(port->putData(ten, -1, 3), std::out_of_range);
    EXPECT_THROW(port->putData(ten, 2, -1), std::out_of_range);
    EXPECT_FALSE(fake.called("SerPutData"));
}

TEST_F(PortOnLinux, ShortSendsNameWhatWasSent) {
    auto port = openPort();
    fake.acceptLimit = 3;
    const Bytes five(5, 'x');
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(five); }), "PutData1: Sent only 3 of 5 bytes");
    EXPECT_EQ(raisedText<IOError>([&] { port->putString("hello"); }), "PutString: sent only 3 of 5 bytes");
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(five, 4); }), "PutData2: Sent only 3 of 4 bytes");
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(five, 1, 4); }), "Sent only 3 of 4 bytes");
    // A short count is what the send time-out leaves, unlike a failed send.
    EXPECT_THROW(port->putString("hello"), Serlib::WriteTimeout);
    EXPECT_THROW(port->putData(five), Serlib::WriteTimeout);
    try {
        port->putData(five);
    } catch (const Serlib::WriteTimeout& e) {
        EXPECT_EQ(e.sent(), 3) << "where a caller goes on from";
    }
    try {
        port->putData(Bytes{1, 2}, -1);
        ADD_FAILURE() << "a negative count was sent";
    } catch (const Serlib::WriteTimeout&) {
        ADD_FAILURE() << "a failed send taken for a time-out";
    } catch (const IOError&) {
    }
    fake.putByteResult = -1;
    EXPECT_EQ(raisedText<IOError>([&] { port->putByte(1); }), "PutByte failed");
}

TEST_F(PortOnLinux, NegativeCountIsAFailureEvenWhenTheDriverEchoesIt) {
    auto port = openPort();
    // The driver refuses a negative count with -1; that equals the count
    // asked for here, and must still not pass as "all sent".
    EXPECT_EQ(raisedText<IOError>([&] { port->putData(Bytes{1, 2}, -1); }), "PutData2: Sent only -1 of -1 bytes");
    EXPECT_TRUE(fake.sent.empty());
}

TEST_F(PortOnLinux, ClosedPortPassesHandleMinusOneToTheDriver) {
    SerialPortLocal port;
    fake.failGetData = true;
    fake.getDataResult = -1;
    Bytes buf(4);
    EXPECT_EQ(raisedText<IOError>([&] { port.getData(buf); }), "getData: failed");
    EXPECT_EQ(fake.handles.back(), -1);
    EXPECT_EQ(raisedText<IOError>([&] { port.getByte(); }), "getByte: Port not open");
    EXPECT_FALSE(fake.called("SerGetByte"));
    fake.queryResults["SerSetDTR"] = -1;
    EXPECT_EQ(raisedText<IOError>([&] { port.setDTR(true); }), "setDTR failed");
    EXPECT_EQ(fake.handles.back(), -1);
    EXPECT_EQ(raisedText<IOError>([&] { port.rxReadyCount(); }), "rxReadyCount: Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { port.sigCTS(); }), "sigCTS: Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { port.sigDSR(); }), "sigDSR: Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { port.sigCD(); }), "sigCD: Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { port.txBufCount(); }), "txBufCount: Port not open");
    EXPECT_EQ(raisedText<IOError>([&] { port.sigRing(); }), "sigRing: Port not open");
}

TEST_F(PortOnLinux, UnsupportedFeaturesFailFirstWithTheHostName) {
    SerialPortLocal closed;
    EXPECT_EQ(raisedText<IOError>([&] { closed.sigBreak(); }), "sigBreak not supported on Linux");
    EXPECT_EQ(raisedText<IOError>([&] { closed.sigFrameErr(); }), "sigFrameErr not supported on Linux");
    EXPECT_EQ(raisedText<IOError>([&] { closed.sigOverrun(); }), "sigOverrun not supported on Linux");
    EXPECT_EQ(raisedText<IOError>([&] { closed.sigParityErr(); }), "sigParityErr not supported on Linux");
    EXPECT_EQ(raisedText<IOError>([&] { closed.rxOverflow(); }), "rxOverflow not supported on Linux");
    EXPECT_TRUE(fake.calls.empty());
}

TEST(PortOnIrix, SetRtsAndSetDtrAreRefusedEvenOnAClosedPort) {
    ScopedHostOverride h(HostInfo{"Irix", "mips", "", ""});
    FakeDriver& fake = FakeDriver::install();
    SerialPortLocal port;
    EXPECT_EQ(raisedText<IOError>([&] { port.setRTS(true); }), "setRts not supported on Irix");
    EXPECT_EQ(raisedText<IOError>([&] { port.setDTR(true); }), "setDTR not supported on Irix");
    EXPECT_TRUE(fake.calls.empty());
}

TEST(PortOnMac, FlushOfTheOutputStreamNeedsTxBufCount) {
    ScopedHostOverride h(HostInfo{"Mac OS", "ppc", "", ""});
    FakeDriver::install();
    SerialPortLocal port(std::make_shared<SerialConfig>("Modem Port"));
    EXPECT_EQ(raisedText<IOError>([&] { port.txBufCount(); }), "txBufCount not supported on Mac OS");
    EXPECT_EQ(raisedText<IOError>([&] { port.sigCD(); }), "sigCD not supported on Mac OS");
}

TEST_F(PortOnWindowsNT, QueryResultsAndTheirFailures) {
    auto port = openPort();
    fake.queryResults["SerSigParityErr"] = -1;
    fake.queryResults["SerSigRing"] = -1;
    EXPECT_FALSE(port->sigParityErr());
    EXPECT_FALSE(port->sigRing());
    const std::pair<const char*, std::function<void()>> failing[] = {
        {"SerSigCD", [&] { port->sigCD(); }},         {"SerSigCTS", [&] { port->sigCTS(); }},
        {"SerSigDSR", [&] { port->sigDSR(); }},       {"SerSigFrameErr", [&] { port->sigFrameErr(); }},
        {"SerSigOverrun", [&] { port->sigOverrun(); }}, {"SerSigBreak", [&] { port->sigBreak(); }},
        {"SerRxOverflow", [&] { port->rxOverflow(); }}, {"SerRxFlush", [&] { port->rxFlush(); }},
        {"SerTxFlush", [&] { port->txFlush(); }},     {"SerTxDrain", [&] { port->txDrain(); }},
        {"SerSetRTS", [&] { port->setRTS(false); }},  {"SerSendBreak", [&] { port->sendBreak(10); }},
    };
    const char* texts[] = {"sigCD failed",      "sigCTS failed",   "sigDSR failed",  "sigFrameErr failed",
                           "sigOverrun failed", "sigBreak failed", "rxOverflow failed", "rxFlush failed",
                           "txFlush failed",    "txDrain failed",  "setRTS failed",  "sendBreak failed"};
    for (size_t i = 0; i < std::size(failing); ++i) {
        fake.queryResults[failing[i].first] = -1;
        EXPECT_EQ(raisedText<IOError>(failing[i].second), texts[i]);
    }
    fake.queryResults.clear();
    fake.queryResults["SerSigCD"] = 1;
    fake.queryResults["SerSigCTS"] = 2;  // only 1 means on
    fake.queryResults["SerRxFlush"] = 17;
    EXPECT_TRUE(port->sigCD());
    EXPECT_FALSE(port->sigCTS());
    EXPECT_EQ(port->rxFlush(), 17);
    fake.setTimeoutResult = -1;
    EXPECT_EQ(raisedText<IOError>([&] { port->setTimeoutRx(5); }), "setTimeoutRx failed");
    EXPECT_EQ(raisedText<IOError>([&] { port->setTimeoutTx(5); }), "setTimeoutTx failed");
}

TEST_F(PortOnLinux, NamesAndVersion) {
    SerialPortLocal port;
    EXPECT_EQ(port.getName(), "Serial Port");
    port.setName("Modem");
    EXPECT_EQ(port.getName(), "Modem");
    EXPECT_EQ(port.getName(3), "Not implemented");
    EXPECT_EQ(port.getLibVer(), 42);
}

TEST_F(PortOnLinux, TimedGetByteReturnsMinusOneOnlyAfterTheTimeout) {
    auto port = openPort();
    fake.timeoutRx = 300;
    const auto start = Clock::now();
    EXPECT_EQ(port->getByte(), -1);
    const auto waited = Clock::now() - start;
    // The deadline is counted in whole milliseconds.
    EXPECT_GE(waited, 299ms);
    EXPECT_LT(waited, 3000ms);
    EXPECT_FALSE(fake.called("SerGetByte"));
}

TEST_F(PortOnLinux, TimedGetByteReturnsAByteAsSoonAsItArrives) {
    auto port = openPort();
    fake.timeoutRx = 5000;
    fake.deliver("Z", 100ms);
    const auto start = Clock::now();
    EXPECT_EQ(port->getByte(), 'Z');
    EXPECT_LT(Clock::now() - start, 4000ms);
}

TEST_F(PortOnLinux, WithoutATimeoutTheDriverIsAskedAtOnce) {
    auto port = openPort();
    fake.timeoutRx = 0;
    EXPECT_EQ(port->getByte(), -1);
    EXPECT_EQ(fake.count("SerRxReadyCount"), 0);
    EXPECT_EQ(fake.count("SerGetByte"), 1);
    fake.deliver("\x80");
    EXPECT_EQ(port->getByte(), 0x80);
}

TEST_F(PortOnLinux, TimedGetDataReturnsWhatArrivedWhenTheTimeRunsOut) {
    auto port = openPort();
    fake.timeoutRx = 200;
    fake.deliver("abc");
    Bytes buf(8);
    const auto start = Clock::now();
    EXPECT_EQ(port->getData(buf), 3);
    EXPECT_GE(Clock::now() - start, 199ms);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "abc");
}

TEST_F(PortOnLinux, TimedGetDataStopsWaitingOnceTheBufferCanBeFilled) {
    auto port = openPort();
    fake.timeoutRx = 10000;
    fake.deliver("12345678", 50ms);
    Bytes buf(8);
    const auto start = Clock::now();
    EXPECT_EQ(port->getData(buf), 8);
    EXPECT_LT(Clock::now() - start, 5000ms);
}

TEST_F(PortOnLinux, ReadyCountFailureInsideTheWaitCountsAsNotYet) {
    auto port = openPort();
    fake.timeoutRx = 100;
    fake.failReady = true;
    fake.deliver("q");
    Bytes buf(1);
    EXPECT_EQ(port->getData(buf), 1);
    EXPECT_GT(fake.count("SerRxReadyCount"), 0);
}

TEST_F(PortOnLinux, GetDataRangeIsCheckedBeforeAnythingIsRead) {
    auto port = openPort();
    fake.deliver("wxyz");
    EXPECT_EQ(port->getData(nullptr, 0, 5), 0);
    Bytes small(4, '.');
    EXPECT_THROW(port->getData(&small, 2, 3), std::out_of_range);
    EXPECT_THROW(port->getData(&small, 0, -1), std::out_of_range);
    EXPECT_THROW(port->getData(&small, -1, 1), std::out_of_range);
    EXPECT_FALSE(fake.called("SerGetData"));
    EXPECT_EQ(fake.readyCount(), 4);  // nothing was taken and lost
    EXPECT_EQ(port->getData(&small, 1, 3), 3);
    EXPECT_EQ(std::string(small.begin(), small.end()), ".wxy");
}

TEST(PortFlowControl, Windows95HardwareHandshakeRunsTheTaskUntilClose) {
    ScopedHostOverride h(HostInfo{"Windows 95", "x86", "", ""});
    FakeDriver& fake = FakeDriver::install();
    fake.openedNumber = 2;
    auto record = std::make_shared<SerialConfig>("COM2");
    record->setHandshake(SerialConfig::HS_CTSRTS);
    testing::internal::CaptureStdout();
    SerialPortLocal port(record);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FlowControlTask created\n");
    // The task calls the driver back to back with the port's handle.
    EXPECT_TRUE(eventually([&] { return fake.flowCalls.load() >= 100; }, 10s));
    EXPECT_GE(fake.flowCalls.load(), 100);
    EXPECT_EQ(fake.flowHandle.load(), 1);
    port.close();
    // close waited for the last pass: no call comes after it.
    const long afterClose = fake.flowCalls.load();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(fake.flowCalls.load(), afterClose);
}

TEST(PortFlowControl, ConfigureReplacesTheTaskAndOtherHandshakesRunNone) {
    ScopedHostOverride h(HostInfo{"Windows 95", "x86", "", ""});
    FakeDriver& fake = FakeDriver::install();
    auto record = std::make_shared<SerialConfig>("COM1");
    record->setHandshake(SerialConfig::HS_DSRDTR);
    testing::internal::CaptureStdout();
    SerialPortLocal port(record);
    port.configure();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "FlowControlTask created\nFlowControlTask created\n");

    record->setHandshake(SerialConfig::HS_XONXOFF);
    port.configure();
    const long calls = fake.flowCalls.load();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(fake.flowCalls.load(), calls);

    record->setHandshake(SerialConfig::HS_CTSRTS);
    record->setHardFlow(false);
    testing::internal::CaptureStdout();
    port.configure();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(PortFlowControl, NoTaskOffWindows95) {
    for (const char* os : {"Linux", "Windows NT"}) {
        ScopedHostOverride h(HostInfo{os, "x86", "", ""});
        FakeDriver::install();
        auto record = std::make_shared<SerialConfig>("COM1");
        record->setHandshake(SerialConfig::HS_CTSRTS);
        testing::internal::CaptureStdout();
        SerialPortLocal port(record);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << os;
    }
}

TEST(FlowControlTaskThread, KeepsTheHandleOfItsCreationAndRunsAtRaisedPriority) {
    ScopedHostOverride h(HostInfo{"Windows 95", "x86", "", ""});
    FakeDriver& fake = FakeDriver::install();
    fake.openedNumber = 4;
    SerialPortLocal port(std::make_shared<SerialConfig>("COM4"));
    testing::internal::CaptureStdout();
    Serlib::FlowControlTask task(port);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FlowControlTask created\n");
    EXPECT_EQ(task.getPortNum(), 3);
    const int creator = task.getFlowPriority();
    port.close();  // the task keeps the handle it captured
    task.start();
    EXPECT_TRUE(eventually([&] { return task.isRunning() && fake.flowCalls.load() > 0; }, 10s));
    ASSERT_TRUE(task.isRunning());
    EXPECT_EQ(fake.flowHandle.load(), 3);
    // One step up where the host allows it; never below where it started.
    EXPECT_GE(task.getFlowPriority(), creator);
    EXPECT_LE(task.getFlowPriority(), creator + 1);
    // Lowering a thread's priority needs no privilege (nice stops at 19).
    const int lower = std::max(creator - 3, -19);
    EXPECT_TRUE(task.setFlowPriority(lower));
    EXPECT_EQ(task.getFlowPriority(), lower);
    task.stop();
    EXPECT_FALSE(task.isRunning());
    const long afterStop = fake.flowCalls.load();
    task.start();  // a stopped task never runs again
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(fake.flowCalls.load(), afterStop);
    EXPECT_FALSE(task.isRunning());
}
