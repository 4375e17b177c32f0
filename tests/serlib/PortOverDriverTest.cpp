// The library as the server uses it, over the real driver and real
// pseudo-terminals: initialisation, the port object, the streams.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/serlib/PrivateDriver.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProcessState.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/Raises.h"
#include "Serlib/Driver.h"
#include "Serlib/HostInfo.h"
#include "Serlib/SerialPortLocal.h"
#include "Serlib/SerInputStream.h"
#include "Serlib/SerOutputStream.h"

using namespace std::chrono_literals;
using Serlib::Bytes;
using Serlib::IOError;
using Serlib::SerialConfig;
using Serlib::SerialPortLocal;
using Serlib::SerInputStream;
using Serlib::SerOutputStream;
using Clock = std::chrono::steady_clock;

namespace {

// Every line the probe prints, and its exit status.
struct ProbeRun {
    std::vector<std::string> lines;
    std::optional<int> status;
};

ProbeRun runProbe(const std::vector<std::string>& args) {
    std::vector<std::string> argv{SERLIB_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess probe(argv);
    ProbeRun run;
    while (std::optional<std::string> line = probe.readLine(10s)) {
        run.lines.push_back(*line);
    }
    run.status = probe.wait(10s);
    return run;
}

class PortOverDriver : public ::testing::Test {
protected:
    std::shared_ptr<SerialPortLocal> openPort(const std::string& name) {
        cfg = std::make_shared<SerialConfig>(name);
        return std::make_shared<SerialPortLocal>(cfg);
    }

    PrivateDriver driver;
    PtyDevice device;
    std::shared_ptr<SerialConfig> cfg;
};

}  // namespace

TEST(DriverInitialisation, TheHostsDriverIsLoadedByNameFromTheRunPath) {
    const ProbeRun run = runProbe({"init"});
    ASSERT_EQ(run.lines.size(), 2u);
    // The driver this build made for its processor, whatever the kernel is.
    EXPECT_EQ(run.lines[0], std::string("SerialPort class loaded: ") + SERLIB_DRIVER_NAME);
    EXPECT_EQ(run.lines[1], "driver version 100");
    EXPECT_EQ(run.status, 0);
}

TEST(DriverInitialisation, AnUnknownPlatformEndsTheProcessWithStatusOne) {
    const ProbeRun run = runProbe({"init", "Linux", "sparc"});
    EXPECT_EQ(run.lines, std::vector<std::string>{"Platform not supported"});
    EXPECT_EQ(run.status, 1);
}

TEST(DriverInitialisation, AMissingDriverIsReportedOnceAndTheProcessGoesOn) {
    // No driver for this made-up host is ever built.
    const ProbeRun run = runProbe({"init", "Irix", "mips"});
    ASSERT_EQ(run.lines.size(), 2u);
    const std::string tail = ": Check that native library sdrvIrxMips is in proper directory";
    ASSERT_GT(run.lines[0].size(), tail.size());
    EXPECT_EQ(run.lines[0].substr(run.lines[0].size() - tail.size()), tail);
    EXPECT_NE(run.lines[0].find("libsdrvIrxMips.so"), std::string::npos);  // the loader's own text
    EXPECT_EQ(run.lines[1].rfind("no driver: ", 0), 0u);
    EXPECT_EQ(run.status, 0);
}

TEST_F(PortOverDriver, OpensConfiguresAndSendsText) {
    auto port = openPort(device.path());
    EXPECT_TRUE(port->isOpen());
    EXPECT_GE(port->getPortNum(), 1000);
    EXPECT_EQ(port->getTimeoutRx(), 0);
    port->putString("AT\n");
    EXPECT_EQ(device.receive(3), "AT\n");

    port->setBitRate(SerialConfig::BR_2400);
    port->setParity(SerialConfig::PY_ODD);
    port->setStopBits(SerialConfig::ST_2BITS);
    port->configure();
    // (A pseudo-terminal keeps the odd-parity bit though not PARENB itself.)
    const termios tio = device.settings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B2400));
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), tcflag_t(PARODD | CSTOPB));
}

TEST_F(PortOverDriver, ComNameOpensThroughItsLinkAsTheFirstPort) {
    driver.linkPort("COM1", device.path());
    auto port = openPort("COM1");
    EXPECT_EQ(port->getPortNum(), 0);
    EXPECT_EQ(cfg->getPort(), 1);
    port->putData(Bytes{0x00, 0xFF});
    EXPECT_EQ(device.receive(2), std::string("\x00\xFF", 2));
}

// A COMn link the system cannot describe is not a missing one: the fallback
// /dev/ttyS6 would be another device altogether. Seen where the ports folder
// is in a container image's layer and the program is 32-bit.
TEST(PortsLink, ALinkWithAnInodeNumberBeyond32BitsStillNamesTheDevice) {
    if (::geteuid() != 0) GTEST_SKIP() << "a mount namespace of its own (unshare -m) needs root";
    PtyDevice device;
    const WideInodeFolder ports(portsDirectory(), {{"COM7", device.path()}});
    ChildProcess probe(ports.wrap({SERLIB_PROBE, "open", "COM7", "via link"}));
    const std::optional<std::string> inode = probe.readLine(10s);
    ASSERT_TRUE(inode.has_value());
    if (*inode == "no overlay") GTEST_SKIP() << "this kernel mounts no overlay with wide inode numbers";
    ASSERT_EQ(inode->rfind("inode ", 0), 0u) << *inode;
    ASSERT_GT(std::stoull(inode->substr(6)), 0xFFFFFFFFull) << "the premise: the link's number needs 64 bits";
    std::string outcome = "<none>";
    while (std::optional<std::string> line = probe.readLine(10s)) outcome = *line;
    EXPECT_EQ(outcome, "opened 6");
    EXPECT_EQ(device.receive(8), "via link");
    EXPECT_EQ(probe.wait(10s), 0);
}

TEST_F(PortOverDriver, SecondOpenInThisProcessIsAlreadyOpen) {
    auto port = openPort(device.path());
    EXPECT_EQ(raisedText<IOError>([&] { openPort(device.path()); }), "SerOpenPort failed: Port is already open");
    EXPECT_EQ(raisedText<IOError>([&] { openPort("/dev/orvo-no-such-device"); }), "SerOpenPort failed: Port not valid");
}

TEST_F(PortOverDriver, AnotherProgramFindsThePortInUse) {
    auto port = openPort(device.path());
    const ProbeRun run = runProbe({"open", device.path()});
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "SerOpenPort failed: Port is in use");
    port->close();
    const ProbeRun after = runProbe({"open", device.path()});
    ASSERT_FALSE(after.lines.empty());
    EXPECT_EQ(after.lines.back().rfind("opened ", 0), 0u);
}

TEST_F(PortOverDriver, ModemLineFailuresOnAPseudoTerminalLeaveThePortWorking) {
    auto port = openPort(device.path());
    EXPECT_EQ(raisedText<IOError>([&] { port->setDTR(true); }), "setDTR failed");
    EXPECT_EQ(raisedText<IOError>([&] { port->sigCTS(); }), "sigCTS failed");
    port->putByte('!');
    EXPECT_EQ(device.receive(1), "!");
}

TEST_F(PortOverDriver, ReceiveTimeoutGivesFewerBytesNotAnError) {
    auto port = openPort(device.path());
    port->setTimeoutRx(300);
    device.send("12");
    Bytes buf(8);
    const auto start = Clock::now();
    EXPECT_EQ(port->getData(buf), 2);
    EXPECT_GE(Clock::now() - start, 299ms);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 2), "12");

    const auto again = Clock::now();
    EXPECT_EQ(port->getByte(), -1);
    EXPECT_GE(Clock::now() - again, 299ms);
    EXPECT_LT(Clock::now() - again, 5000ms);
}

TEST_F(PortOverDriver, StreamsCarryBytesBothWays) {
    auto port = openPort(device.path());
    port->setTimeoutRx(1000);
    SerInputStream in(port);
    SerOutputStream out(port);
    EXPECT_EQ(port->getTimeoutRx(), 0);
    EXPECT_EQ(port->getTimeoutTx(), 2147483647);

    out.write(Bytes{'h', 'i', '\r', '\n'});
    out.write(0x100 + 'x');
    out.flush();
    EXPECT_EQ(device.receive(5), "hi\r\nx");

    // A blocking read returns once the device answers.
    auto reader = std::async(std::launch::async, [&] { return in.read(); });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    device.send("A");
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 'A');

    device.send("BCD");
    EXPECT_TRUE(eventually([&] { return in.available() >= 3; }, 5s));
    EXPECT_EQ(in.available(), 3);
    Bytes buf(32);
    EXPECT_EQ(in.read(buf), 3);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "BCD");

    in.close();
    EXPECT_EQ(port->getPortNum(), -1);
    EXPECT_EQ(raisedText<IOError>([&] { out.write(Bytes{1}); }), "PutData1: Sent only -1 of 1 bytes");
}

TEST_F(PortOverDriver, FlowControlTaskRunsOverTheRealDriverAndStopsAtClose) {
    Serlib::ScopedHostOverride win95(Serlib::HostInfo{"Windows 95", "x86", "", ""});
    const size_t before = threadCount();
    cfg = std::make_shared<SerialConfig>(device.path());
    cfg->setHandshake(SerialConfig::HS_CTSRTS);
    testing::internal::CaptureStdout();
    SerialPortLocal port(cfg);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FlowControlTask created\n");
    EXPECT_EQ(threadCount(), before + 1);
    EXPECT_NE(device.settings().c_cflag & CRTSCTS, 0u);
    port.close();
    EXPECT_EQ(threadCountSettledAt(before), before);
}
