// The Windows programs of the mingw-w64 build, run under wine64 in the run's
// one prefix (see wine-prefix.sh), as a person on Windows uses them: orvo.exe
// without windows and with them, serving COM1, which wine maps to a link the
// Linux virtual modem points at its terminal; kestrin.exe talking to the
// Linux server. Clients and the server on the Linux side use loopback only.
// TCP ports 3001 (the one kestrin always uses) and 3008 are taken under the
// fixed-resources lock.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ComPortOption.h"
#include "common/TcpSocket.h"
#include "common/TelnetCodec.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopWindow.h"
#include "tests/support/Elapsed.h"
#include "tests/support/Eventually.h"
#include "tests/support/LineClient.h"
#include "tests/support/NeedsDisplay.h"
#include "tests/support/TelnetClient.h"
#include "tests/support/Terminal.h"
#include "tests/support/VirtualModem.h"

using namespace std::chrono_literals;

namespace {

const std::string kWindowsBin = std::string(ORVO_WINDOWS_BUILD_DIR) + "/bin/";
// Where wine's COM1 leads (HKLM\Software\Wine\Ports); wine follows the link
// each time a program opens the port.
const std::string kCom1Link = ORVO_WINE_COM1;
constexpr int kHeadlessPort = 3008;

// The setup window's grid: 10 rows of 26, 2 columns of 125; "Start" is the
// right-hand cell of the last row.
constexpr int startX = 187, buttonRowY = 9 * 26 + 13;
// Kestrin's fields, client-area centres.
constexpr int txX = 155, txY = 65;         // "Transmit RS232 Data To Host"
constexpr int rxX = 155, rxY = 113;        // "Receive RS232 Data From Host"
constexpr int hostX = 190, hostY = 166;    // "Host IP"
constexpr int closeX = 245, closeY = 195;  // "Close Connection"

bool built(const std::string& program) { return std::filesystem::exists(kWindowsBin + program); }

// A program of the Windows build under wine64, its console (standard output
// and error, lines ending in CR LF) read as its output.
std::unique_ptr<ChildProcess> underWine(const std::string& program, const std::vector<std::string>& options) {
    std::vector<std::string> argv{"env", "WINEPREFIX=" ORVO_WINE_PREFIX, "WINEDEBUG=-all",
                                  "WINEDLLOVERRIDES=mscoree,mshtml=", ORVO_WINE64, kWindowsBin + program};
    argv.insert(argv.end(), options.begin(), options.end());
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec " + shellCommand(argv) + " 2>&1"});
}

// The Linux server without windows, its log read as its output.
std::unique_ptr<ChildProcess> linuxHeadless(const std::vector<std::string>& options) {
    std::vector<std::string> argv{programPath("orvo"), "--headless"};
    argv.insert(argv.end(), options.begin(), options.end());
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec env -u DISPLAY " + shellCommand(argv) + " 2>&1"});
}

// What a program printed so far, for a failure's message.
std::string transcript(const ChildProcess& program) {
    std::string text = "\n--- console so far:";
    for (const std::string& line : program.seen()) text += "\n  " + line;
    return text;
}

bool printed(const ChildProcess& program, const std::string& text) {
    return std::any_of(program.seen().begin(), program.seen().end(),
                       [&text](const std::string& line) { return line.find(text) != std::string::npos; });
}

// The processes other than the modem that have its terminal open.
std::vector<pid_t> portUsers(const VirtualModem& modem) {
    std::vector<pid_t> users = terminalUsers(modem.path());
    users.erase(std::remove(users.begin(), users.end(), modem.pid()), users.end());
    return users;
}

bool portGivenBack(const VirtualModem& modem) {
    return eventually([&modem] { return portUsers(modem).empty(); }, 10s);
}

bool holds(const ChildProcess& program, const VirtualModem& modem) {
    const std::vector<pid_t> users = portUsers(modem);
    return std::find(users.begin(), users.end(), program.pid()) != users.end();
}

// Saves a window's picture into $ORVO_SCREENSHOT_DIR, when it is set, a
// moment after the last update: nothing tells when the program has drawn it.
void screenshot(const DesktopWindow& window, const std::string& name) {
    const char* dir = std::getenv("ORVO_SCREENSHOT_DIR");
    if (dir == nullptr || *dir == '\0') return;
    std::filesystem::create_directories(dir);
    std::this_thread::sleep_for(500ms);
    const std::string path = std::string(dir) + "/" + name;
    EXPECT_TRUE(window.screenshot(path)) << path;
    std::cout << "screenshot: " << path << std::endl;
}

class WineOrvo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(built("orvo.exe")) << "no orvo.exe in " << kWindowsBin << ": build the Windows build first";
        // Each test starts with COM1 leading nowhere, also after a modem
        // that was killed before it could take its link away.
        std::filesystem::remove(kCom1Link);
    }
};

// The windowed programs need the display and a Windows build with windows,
// which alone has kestrin.exe.
class WineWindows : public WineOrvo {
protected:
    void SetUp() override {
        SKIP_WITHOUT_DISPLAY();
        if (!built("kestrin.exe"))
            GTEST_SKIP() << "no kestrin.exe in " << kWindowsBin << ": the Windows build has no windows (built without FLTK)";
        WineOrvo::SetUp();
    }
};

TEST_F(WineOrvo, HeadlessBridgesCom1WithCrLfLinesAndCtrlCGivesThePortBack) {
    VirtualModem modem(kCom1Link, {});
    const auto launched = std::chrono::steady_clock::now();
    // Windows names its ports in any case, and so does the option.
    auto orvo = underWine("orvo.exe", {"--headless", "--port", "com1", "--tcp-port", std::to_string(kHeadlessPort)});
    ASSERT_TRUE(orvo->waitForText("SerialPort class loaded: sdrvWin", 30s)) << transcript(*orvo);
    const std::unique_ptr<LineClient> client = LineClient::connectWithin(kHeadlessPort, 20s, 10s);
    ASSERT_TRUE(client) << transcript(*orvo);
    std::cout << "wine start-up to a listening orvo.exe: " << msSince(launched) << " ms" << std::endl;
    // Written before the server listened: each log line is to reach the
    // console's pipe when it is written, as a service's log must.
    EXPECT_TRUE(orvo->waitForText("Awaiting client connection", 5s))
        << "the log is held back while orvo.exe runs" << transcript(*orvo);
    EXPECT_TRUE(holds(*orvo, modem)) << "orvo.exe has the modem's terminal open";

    EXPECT_EQ(client->readRawLine(), "OK\r\n") << "lines to the client end in CR LF on Windows";
    client->send("AT");
    EXPECT_EQ(client->readLine(), "4F4B0D0A");
    client->send("0x41540D");  // "AT" CR as bytes
    EXPECT_EQ(client->readLine(), "4F4B0D0A");
    client->send("0x414243");  // echoed by the modem
    EXPECT_EQ(client->readLine(), "414243");
    client->send("KILL");
    EXPECT_EQ(client->readLine(), "CLOSE");
    EXPECT_TRUE(client->endsWithin());

    // wine delivers SIGINT to a console program as Ctrl+C.
    orvo->signal(SIGINT);
    EXPECT_TRUE(orvo->waitForText("Server stopped by Ctrl+C", 10s)) << transcript(*orvo);
    EXPECT_EQ(orvo->wait(10s), 0);
    EXPECT_TRUE(printed(*orvo, "1:9600 Data:8 Stop:1 Parity:N HS:N")) << "COM1 opened" << transcript(*orvo);
    EXPECT_FALSE(printed(*orvo, "Could Not Open")) << transcript(*orvo);
    EXPECT_TRUE(portGivenBack(modem)) << "still open in " << portUsers(modem).size() << " processes";
}

// The stream protocols in orvo.exe: raw bytes both ways through wine's COM1,
// and an RFC 2217 client setting the line through the Windows driver.
TEST_F(WineOrvo, HeadlessRelaysRawBytesAndTakesRfc2217Settings) {
    VirtualModem modem(kCom1Link, {"--loopback"});
    auto raw = underWine("orvo.exe", {"--headless", "--port", "COM1", "--tcp-port", std::to_string(kHeadlessPort),
                                      "--protocol", "raw"});
    ASSERT_TRUE(raw->waitForText("Awaiting client connection", 30s)) << transcript(*raw);
    EXPECT_TRUE(printed(*raw, "Server Socket Opened OK at Port 3008 (raw)")) << transcript(*raw);
    {
        TcpSocket client = TcpSocket::connect("127.0.0.1", kHeadlessPort);
        client.setReceiveTimeout(10000);
        const std::string bytes("AT\r\n\xFF\x00\x13 every byte", 18);
        client.sendAll(bytes.data(), bytes.size());
        std::string back;
        char buffer[64];
        while (back.size() < bytes.size()) {
            const size_t n = client.receive(buffer, sizeof buffer);
            if (n == 0) break;
            back.append(buffer, n);
        }
        EXPECT_EQ(back, bytes) << "as they are: no hex, no greeting, no line ends changed" << transcript(*raw);
    }
    raw->signal(SIGINT);
    EXPECT_EQ(raw->wait(10s), 0) << transcript(*raw);
    ASSERT_TRUE(portGivenBack(modem));

    auto rfc2217 = underWine("orvo.exe", {"--headless", "--port", "COM1", "--tcp-port", std::to_string(kHeadlessPort),
                                          "--protocol", "rfc2217"});
    ASSERT_TRUE(rfc2217->waitForText("Awaiting client connection", 30s)) << transcript(*rfc2217);
    {
        TcpSocket socket = TcpSocket::connect("127.0.0.1", kHeadlessPort);
        socket.setReceiveTimeout(10000);
        TelnetClient client(std::move(socket));
        client.sendRaw(TelnetCodec::EncodeCommand(TelnetCodec::WILL, TelnetCodec::OPTION_COM_PORT));
        client.command(ComPortOption::EncodeBaudRate(ComPortOption::SET_BAUDRATE, 19200));
        EXPECT_EQ(client.answerTo(ComPortOption::SET_BAUDRATE), ComPortOption::EncodeBaudRate(0, 19200).substr(1))
            << "the Windows driver set the rate" << transcript(*rfc2217);
        client.sendData("\xFF\xFF" "echo");
        EXPECT_TRUE(client.readUntil([&] { return client.data.size() >= 6; }));
        EXPECT_EQ(client.data, "\xFF\xFF" "echo") << "IAC doubled on the wire both ways";
    }
    rfc2217->signal(SIGINT);
    EXPECT_EQ(rfc2217->wait(10s), 0) << transcript(*rfc2217);
}

TEST_F(WineOrvo, APortWineHasNoDeviceForCouldNotOpenAndClientsAreStillGreeted) {
    // COM7 has no entry in wine's ports: no device of that name at all.
    auto orvo = underWine("orvo.exe", {"--headless", "--port", "COM7", "--tcp-port", std::to_string(kHeadlessPort)});
    // The driver's 1003, on the console as it happens.
    ASSERT_TRUE(orvo->waitForText("Serlib::IOError: SerOpenPort failed: Port not valid", 30s)) << transcript(*orvo);
    const std::unique_ptr<LineClient> client = LineClient::connectWithin(kHeadlessPort, 20s, 10s);
    ASSERT_TRUE(client) << "it listens meanwhile" << transcript(*orvo);
    EXPECT_EQ(client->readLine(), "OK");
    client->send("AT");
    EXPECT_EQ(client->readLine(), "") << "no device, no answer";
    orvo->signal(SIGINT);
    EXPECT_TRUE(orvo->waitForText("Server stopped by Ctrl+C", 10s)) << transcript(*orvo);
    EXPECT_TRUE(printed(*orvo, "Serial Port COM7 Could Not Open")) << transcript(*orvo);
    EXPECT_EQ(orvo->wait(10s), 0);
}

TEST_F(WineOrvo, Com1WithoutItsDeviceAtStartIsOpenedWhenTheDeviceAppears) {
    // COM1's link leads nowhere until the modem is plugged in.
    auto orvo = underWine("orvo.exe", {"--headless", "--port", "COM1", "--tcp-port", std::to_string(kHeadlessPort)});
    ASSERT_TRUE(orvo->waitForText("Serlib::IOError: SerOpenPort failed: Port not valid", 30s)) << transcript(*orvo);
    const std::unique_ptr<LineClient> client = LineClient::connectWithin(kHeadlessPort, 20s, 10s);
    ASSERT_TRUE(client) << transcript(*orvo);
    EXPECT_EQ(client->readLine(), "OK");
    VirtualModem modem(kCom1Link, {});
    // The port is tried again every 2 s; until then an answer is empty.
    EXPECT_TRUE(eventually(
        [&client] {
            client->send("AT");
            return client->readLine() == "4F4B0D0A";
        },
        10s));
    orvo->signal(SIGINT);
    EXPECT_TRUE(orvo->waitForText("Server stopped by Ctrl+C", 10s)) << transcript(*orvo);
    EXPECT_TRUE(printed(*orvo, "Serial Port COM1 Could Not Open")) << transcript(*orvo);
    EXPECT_TRUE(printed(*orvo, "Serial device back")) << transcript(*orvo);
    EXPECT_EQ(orvo->wait(10s), 0);
}

TEST_F(WineWindows, OrvoSetupStartBridgesCom1AndClosingTheStatusWindowEndsWithZero) {
    VirtualModem modem(kCom1Link, {});
    const auto launched = std::chrono::steady_clock::now();
    auto orvo = underWine("orvo.exe", {"--port", "COM1", "--tcp-port", "3001"});
    std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 30s);
    ASSERT_TRUE(setup.has_value()) << transcript(*orvo);
    std::cout << "wine start-up to the setup window: " << msSince(launched) << " ms" << std::endl;
    int width = 0, height = 0;
    ASSERT_TRUE(setup->size(width, height));
    EXPECT_EQ(width, 250);
    EXPECT_EQ(height, 260);
    EXPECT_FALSE(LineClient::connectWithin(3001, 0ms)) << "nothing listens before Start";
    screenshot(*setup, "orvo-setup-windows.png");

    setup->click(startX, buttonRowY);
    std::optional<DesktopWindow> status = DesktopWindow::find("Orvo Server - Port 3001", 20s);
    ASSERT_TRUE(status.has_value()) << transcript(*orvo);
    const std::unique_ptr<LineClient> client = LineClient::connectWithin(3001, 10s, 10s);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->readLine(), "OK");
    client->send("AT");
    EXPECT_EQ(client->readLine(), "4F4B0D0A");
    EXPECT_TRUE(holds(*orvo, modem)) << "orvo.exe has the modem's terminal open";
    screenshot(*status, "orvo-server-windows.png");
    client->send("KILL");
    EXPECT_EQ(client->readLine(), "CLOSE");
    EXPECT_TRUE(client->endsWithin());

    status->requestClose();
    EXPECT_EQ(orvo->wait(15s), 0);
    EXPECT_TRUE(portGivenBack(modem)) << "still open in " << portUsers(modem).size() << " processes";
    // What the server said on its console, for whoever reads the test's log.
    std::string rest;
    while (const std::optional<std::string> line = orvo->readLine(200ms)) rest += "\n  " + *line;
    std::cout << "orvo.exe's console:" << transcript(*orvo) << rest << std::endl;
}

TEST_F(WineWindows, KestrinExeSendsATToTheLinuxServerAndShowsTheAnswer) {
    VirtualModem modem;
    auto orvo = linuxHeadless({"--port", modem.link(), "--tcp-port", "3001"});
    ASSERT_TRUE(orvo->waitForText("Awaiting client connection", 10s)) << transcript(*orvo);
    const auto launched = std::chrono::steady_clock::now();
    auto kestrin = underWine("kestrin.exe", {});
    std::optional<DesktopWindow> window = DesktopWindow::find("Kestrin Controls", 30s);
    ASSERT_TRUE(window.has_value()) << transcript(*kestrin);
    std::cout << "wine start-up to the Kestrin Controls window: " << msSince(launched) << " ms" << std::endl;

    window->replaceTextAt(hostX, hostY, "127.0.0.1", true);
    ASSERT_TRUE(kestrin->waitForText("Connected OK", 20s)) << transcript(*kestrin);
    EXPECT_TRUE(orvo->waitForText("Client connection accepted! (127.0.0.1:", 10s)) << transcript(*orvo);

    window->typeAt(txX, txY, "AT", true);
    // Until the field shows an answer, right or wrong: a wrong one fails now,
    // not after every copy the loop allows.
    std::optional<std::string> received;
    for (int i = 0; i < 50 && received.value_or("").empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        received = window->copyText(rxX, rxY);
    }
    EXPECT_EQ(received, "4F4B0D0A") << "read through wine's clipboard";
    // The picture without the selection the copy left.
    window->click(txX, txY);
    screenshot(*window, "kestrin-windows.png");

    window->click(closeX, closeY);
    EXPECT_TRUE(kestrin->waitForText("Please log in - type Host IP# above and hit 'Enter'", 15s)) << transcript(*kestrin);
    EXPECT_TRUE(orvo->waitForText("Awaiting client connection", 10s)) << "the client left" << transcript(*orvo);
    window->requestClose();
    EXPECT_EQ(kestrin->wait(15s), 0);
}

}  // namespace
