// The real kestrin as a local serial port (kestrin --pty), without a
// display: a program on the port against orvo --protocol rfc2217 and a
// loopback device (vdev --loopback), against pySerial's reference server,
// across a server restart, and against a scripted server for what orvo
// never sends. The programs are pySerial scripts (/usr/bin/python3 with
// python3-serial) or this test itself through termios. kestrin's log
// (standard error) is read as its output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/TcpListener.h"
#include "common/UniqueFd.h"
#include "tests/client/LineServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/VirtualModem.h"

namespace CPO = ComPortOption;
using namespace std::chrono_literals;

namespace {

const std::string kPython = "/usr/bin/python3";

int freePort() { return TcpListener::listen(0, "127.0.0.1").port(); }

// A program of the build with its log (standard error) as its output.
std::unique_ptr<ChildProcess> startLogging(const std::vector<std::string>& argv) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec env -u DISPLAY " + shellCommand(argv) + " 2>&1"});
}

// kestrin --pty link --server 127.0.0.1:port, once the link is in place.
std::unique_ptr<ChildProcess> startKestrin(const std::string& link, int port, std::vector<std::string> options = {}) {
    std::vector<std::string> argv{programPath("kestrin"), "--pty", link, "--server", "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto kestrin = startLogging(argv);
    EXPECT_TRUE(kestrin->waitForText(" is /dev/pts/", 20s)) << "no port made";
    return kestrin;
}

std::unique_ptr<ChildProcess> startOrvo(const std::string& device, int port) {
    auto orvo = startLogging({programPath("orvo"), "--headless", "--port", device, "--tcp-port",
                              std::to_string(port), "--protocol", "rfc2217"});
    EXPECT_TRUE(orvo->waitForText("Awaiting client connection", 20s));
    return orvo;
}

// A pySerial script run with the port's name as its argument.
std::unique_ptr<ChildProcess> runPython(const std::string& script, const std::string& port) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{kPython, "-c", script, port});
}

bool havePySerial() {
    if (::access(kPython.c_str(), X_OK) != 0) return false;
    ChildProcess check({kPython, "-c", "import serial"});
    return check.wait(20s) == std::optional<int>(0);
}

#define SKIP_WITHOUT_PYSERIAL() \
    if (!havePySerial()) GTEST_SKIP() << kPython << " with pySerial (python3-serial) is needed"

// The settings of a terminal another program has open, read through a
// descriptor of our own. orvo holds its device exclusively, which only root
// passes.
std::optional<termios> terminalSettings(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios tio{};
    if (!fd.valid() || ::tcgetattr(fd.get(), &tio) != 0) return std::nullopt;
    return tio;
}

#define SKIP_UNLESS_ROOT() \
    if (::geteuid() != 0) GTEST_SKIP() << "orvo holds the device exclusively: only root reads its settings"

// "name value" lines a script prints, as value for name.
std::string reported(ChildProcess& script, const std::string& name) {
    if (!script.waitForText(name + " ", 30s)) return "<nothing>";
    return script.seen().back().substr(name.size() + 1);
}

// Every byte, and stop bits and flow control changed once the port is open.
const char* const kSettingsScript = R"(
import sys, serial
port = serial.Serial(sys.argv[1], 57600, timeout=10)
every = bytes(range(256))
port.write(every)
back = port.read(256)
print("bytes", "intact" if back == every else back.hex(), flush=True)
port.stopbits = serial.STOPBITS_TWO
port.rtscts = True
port.write(b"x")
print("after", port.read(1).hex(), flush=True)
)";

}  // namespace

TEST(LocalPort, AProgramsSettingsReachTheRemoteLineAndEveryByteComesBack) {
    SKIP_WITHOUT_PYSERIAL();
    VirtualModem device({"--loopback"});
    const int port = freePort();
    auto orvo = startOrvo(device.path(), port);
    TempDir dir;
    auto kestrin = startKestrin(dir.path() + "/ttyRemote", port, {"--data-bits", "7", "--verbose"});
    ASSERT_TRUE(kestrin->waitForText("connected to 127.0.0.1:", 20s));

    auto program = runPython(kSettingsScript, dir.path() + "/ttyRemote");
    EXPECT_EQ(reported(*program, "bytes"), "intact");
    EXPECT_EQ(reported(*program, "after"), "78");
    EXPECT_EQ(program->wait(20s), 0);
    EXPECT_TRUE(kestrin->waitForText("the server took 7 data bits", 10s)) << "the option's value, acknowledged";

    SKIP_UNLESS_ROOT();
    // Each change went ahead of the bytes that came back after it.
    const std::optional<termios> line = terminalSettings(device.path());
    ASSERT_TRUE(line);
    EXPECT_EQ(cfgetospeed(&*line), static_cast<speed_t>(B57600));
    EXPECT_NE(line->c_cflag & CSTOPB, 0u) << "two stop bits";
    EXPECT_NE(line->c_cflag & CRTSCTS, 0u) << "hardware flow control";
}

TEST(LocalPort, PySerialsReferenceServerRelaysTheProgramsBytesThroughItsLoop) {
    SKIP_WITHOUT_PYSERIAL();
    const std::string server = "/usr/share/doc/python3-serial/examples/rfc2217_server.py";
    if (::access(server.c_str(), R_OK) != 0) GTEST_SKIP() << server << " (python3-serial) is needed";
    const int port = freePort();
    ChildProcess reference({"/bin/sh", "-c",
                            "exec " + shellCommand({kPython, server, "-p", std::to_string(port), "loop://"}) + " 2>&1"});
    ASSERT_TRUE(reference.waitForText("TCP/IP port: " + std::to_string(port), 20s));
    TempDir dir;
    auto kestrin = startKestrin(dir.path() + "/ttyLoop", port);
    ASSERT_TRUE(kestrin->waitForText("connected to 127.0.0.1:", 20s));

    auto program = runPython(kSettingsScript, dir.path() + "/ttyLoop");
    EXPECT_EQ(reported(*program, "bytes"), "intact");
    EXPECT_EQ(reported(*program, "after"), "78");
    EXPECT_EQ(program->wait(20s), 0);
}

TEST(LocalPort, TheProgramKeepsItsPortWhileTheServerRestartsAndItsSettingsReturn) {
    SKIP_WITHOUT_PYSERIAL();
    VirtualModem device({"--loopback"});
    const int port = freePort();
    auto orvo = startOrvo(device.path(), port);
    TempDir dir;
    const std::string link = dir.path() + "/ttyRemote";
    auto kestrin = startKestrin(link, port, {"--hold", "4"});
    ASSERT_TRUE(kestrin->waitForText("connected to 127.0.0.1:", 20s));
    // Writes while the server is away: four bytes are held, four dropped.
    auto program = runPython(R"(
import sys, signal, serial
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
port = serial.Serial(sys.argv[1], 57600, timeout=20)
port.write(b"one")
print("first", port.read(3).decode(), flush=True)
signal.sigwait({signal.SIGUSR1})
port.write(b"heldLOST")
print("wrote 8", flush=True)
print("second", port.read(4).decode(), flush=True)
port.timeout = 1
print("more", port.read(8).hex() or "none", flush=True)
)",
                             link);
    ASSERT_EQ(reported(*program, "first"), "one");

    orvo->signal(SIGTERM);
    ASSERT_EQ(orvo->wait(20s), 0);
    ASSERT_TRUE(kestrin->waitForText("link lost: ", 20s));
    program->signal(SIGUSR1);
    ASSERT_EQ(reported(*program, "wrote"), "8");
    ASSERT_TRUE(kestrin->waitForText("holding 4 bytes (--hold)", 20s));

    // The new server opens the line at its own rate.
    orvo = startOrvo(device.path(), port);
    EXPECT_NE(std::find_if(orvo->seen().begin(), orvo->seen().end(),
                           [](const std::string& line) { return line.find(":9600 Data:8") != std::string::npos; }),
              orvo->seen().end());
    ASSERT_TRUE(kestrin->waitForText("link back: 127.0.0.1:", 20s));
    EXPECT_EQ(reported(*program, "second"), "held");
    EXPECT_EQ(reported(*program, "more"), "none");
    EXPECT_EQ(program->wait(20s), 0);
    EXPECT_NE(kestrin->seen().back().find("4 bytes the program wrote meanwhile go now, 4 were dropped"),
              std::string::npos)
        << kestrin->seen().back();
    SKIP_UNLESS_ROOT();
    const std::optional<termios> after = terminalSettings(device.path());
    ASSERT_TRUE(after);
    EXPECT_EQ(cfgetospeed(&*after), static_cast<speed_t>(B57600)) << "the program's rate, sent again";
}

TEST(LocalPort, FollowsTheServersFlowControlAndLogsWhatItRefusesAndTheModemLines) {
    TcpListener listener = TcpListener::listen(0, "127.0.0.1");
    TempDir dir;
    const std::string link = dir.path() + "/ttyScripted";
    auto kestrin = startKestrin(link, listener.port(), {"--verbose"});
    Rfc2217Peer server(listener.accept());

    // A program that has not set the port finds the line's own settings.
    ASSERT_EQ(server.next(CPO::SET_BAUDRATE), std::string(4, '\0'));
    ASSERT_EQ(server.next(CPO::SET_STOPSIZE), std::string(1, '\0'));
    ASSERT_EQ(server.next(CPO::SET_CONTROL), std::string(1, '\0'));
    server.tell(CPO::SET_BAUDRATE, CPO::EncodeBaudRate(0, 19200).substr(1));
    server.tell(CPO::SET_STOPSIZE, std::string(1, CPO::SET_STOPSIZE_2));
    server.tell(CPO::SET_CONTROL, std::string(1, CPO::SET_CONTROL_FLOW_HARDWARE));
    const UniqueFd program(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(program.valid());
    termios tio{};
    EXPECT_TRUE(eventually([&] {
        return ::tcgetattr(program.get(), &tio) == 0 && cfgetospeed(&tio) == B19200 && (tio.c_cflag & CSTOPB) != 0 &&
               (tio.c_cflag & CRTSCTS) != 0;
    }));

    // The program replaces every local mode (EXTPROC too) and sets a rate
    // the server refuses; its next change must still be seen.
    cfmakeraw(&tio);
    tio.c_lflag = 0;
    cfsetspeed(&tio, B57600);
    ASSERT_EQ(::tcsetattr(program.get(), TCSANOW, &tio), 0);
    EXPECT_EQ(server.next(CPO::SET_BAUDRATE), CPO::EncodeBaudRate(0, 57600).substr(1));
    server.tell(CPO::SET_BAUDRATE, CPO::EncodeBaudRate(0, 38400).substr(1));
    EXPECT_TRUE(kestrin->waitForText("the server refused 57600 bit/s: the line has 38400 bit/s", 10s));
    tio.c_cflag &= ~CSTOPB;
    ASSERT_EQ(::tcsetattr(program.get(), TCSANOW, &tio), 0);
    EXPECT_EQ(server.next(CPO::SET_STOPSIZE), std::string(1, CPO::SET_STOPSIZE_1));

    // Held while the server says so, and not lost.
    server.tell(CPO::FLOWCONTROL_SUSPEND);
    ASSERT_TRUE(kestrin->waitForText("the server holds the program's bytes back", 10s));
    ASSERT_EQ(::write(program.get(), "abc", 3), 3);
    EXPECT_FALSE(server.dataCame(1, 500ms)) << "sent during the suspension: " << server.data;
    server.tell(CPO::FLOWCONTROL_RESUME);
    EXPECT_TRUE(server.dataCame(3));
    EXPECT_EQ(server.data, "abc");

    // The device's bytes, IAC among them, reach the program unescaped.
    server.sendData(std::string("x\xFFy", 3));
    char back[3] = {};
    size_t got = 0;
    while (got < sizeof back) {
        const ssize_t n = ::read(program.get(), back + got, sizeof back - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(back, 3), std::string("x\xFFy", 3));

    // The modem lines are logged when they change, not on every notice.
    server.tell(CPO::NOTIFY_MODEMSTATE, std::string(1, static_cast<char>(CPO::MODEMSTATE_CTS | CPO::MODEMSTATE_DSR)));
    server.tell(CPO::NOTIFY_MODEMSTATE, std::string(1, static_cast<char>(CPO::MODEMSTATE_CTS | CPO::MODEMSTATE_DSR |
                                                                        CPO::MODEMSTATE_DELTA_DSR)));
    server.tell(CPO::NOTIFY_MODEMSTATE, std::string(1, static_cast<char>(CPO::MODEMSTATE_CD)));
    ASSERT_TRUE(kestrin->waitForText("modem lines: ", 10s));
    EXPECT_EQ(kestrin->seen().back(), "kestrin: modem lines: CTS on, DSR on, RI off, CD off");
    ASSERT_TRUE(kestrin->waitForText("modem lines: ", 10s));
    EXPECT_EQ(kestrin->seen().back(), "kestrin: modem lines: CTS off, DSR off, RI off, CD on");
}

TEST(LocalPort, TakesOnlyANameThatIsFreeOrALeftOverLinkAndRemovesItOnEveryExitSignal) {
    TempDir dir;
    const int nobody = closedPort();
    const std::string file = dir.path() + "/file";
    std::ofstream(file) << "someone's\n";
    const std::string elsewhere = dir.path() + "/elsewhere";
    ASSERT_EQ(::symlink("/dev/null", elsewhere.c_str()), 0);
    for (const std::string& taken : {file, elsewhere}) {
        auto kestrin = startLogging({programPath("kestrin"), "--pty", taken, "--server",
                                     "127.0.0.1:" + std::to_string(nobody)});
        EXPECT_EQ(kestrin->wait(20s), 1);
        const std::optional<std::string> line = kestrin->readLine(5s);
        EXPECT_EQ(line.value_or("").rfind("kestrin: --pty " + taken + " ", 0), 0u) << line.value_or("<nothing>");
    }
    EXPECT_EQ(std::filesystem::file_size(file), 10u) << "the file was left alone";
    EXPECT_EQ(std::filesystem::read_symlink(elsewhere), "/dev/null");

    // A link to a pseudo-terminal that is gone is kestrin's own, left behind.
    const std::string link = dir.path() + "/ttyRemote";
    ASSERT_EQ(::symlink("/dev/pts/999999", link.c_str()), 0);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        auto kestrin = startKestrin(link, nobody);
        const std::string terminal = std::filesystem::read_symlink(link);
        EXPECT_EQ(terminal.rfind("/dev/pts/", 0), 0u) << terminal;
        EXPECT_TRUE(kestrin->waitForText("cannot reach 127.0.0.1:", 20s)) << "no server: the port stays";
        // A second kestrin finds the name in use.
        auto second = startLogging({programPath("kestrin"), "--pty", link, "--server", "127.0.0.1:1"});
        EXPECT_EQ(second->wait(20s), 1);
        kestrin->signal(signal);
        EXPECT_EQ(kestrin->wait(20s), 0) << strsignal(signal);
        struct stat gone {};
        EXPECT_NE(::lstat(link.c_str(), &gone), 0) << strsignal(signal) << " left the link";
        if (signal == SIGINT) {
            ASSERT_EQ(::symlink("/dev/pts/999999", link.c_str()), 0);
        }
    }
}

TEST(LocalPort, HelpAndBadOptionsNeedNoDisplay) {
    auto help = startLogging({programPath("kestrin"), "--help"});
    EXPECT_TRUE(help->waitForText("--pty PATH", 20s));
    EXPECT_EQ(help->wait(20s), 0);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--pty", "/tmp/x"}, std::vector<std::string>{"--pty", "/tmp/x", "--server", "host"},
          std::vector<std::string>{"--pty", "/tmp/x", "--server", "h:1", "--protocol", "raw", "--parity", "odd"}}) {
        std::vector<std::string> argv{programPath("kestrin")};
        argv.insert(argv.end(), bad.begin(), bad.end());
        auto kestrin = startLogging(argv);
        EXPECT_EQ(kestrin->wait(20s), 2);
        const std::optional<std::string> line = kestrin->readLine(5s);
        EXPECT_EQ(line.value_or("").rfind("kestrin: --", 0), 0u) << line.value_or("<nothing>");
        EXPECT_EQ(kestrin->readLine(1s), std::nullopt) << "one line";
    }
}
