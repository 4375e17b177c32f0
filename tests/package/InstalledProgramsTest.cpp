// The programs as the package installs them, run from an unpacked scratch
// root (which also shows that a moved installation works): the installed
// server, started from its setup window like a person would, reaches the
// installed virtual modem through a COM1 link beside the installed driver.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopWindow.h"
#include "tests/support/LineClient.h"
#include "tests/support/NeedsDisplay.h"
#include "tests/package/PackageTree.h"

using namespace std::chrono_literals;

namespace {

constexpr int kFirstServerPort = 3001;  // the setup window offers 3001 to 3008
constexpr int kServerPorts = 8;

// Whether a listening socket could be opened on port right now (the server
// itself reuses addresses, so TIME_WAIT leftovers do not count).
bool portIsFree(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return free;
}

// Other programs on this machine may hold 3001; the first free entry of the
// setup window's list is used instead.
std::optional<int> freeServerPortIndex() {
    for (int i = 0; i < kServerPorts; ++i)
        if (portIsFree(kFirstServerPort + i)) return i;
    return std::nullopt;
}

class InstalledPrograms : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveDisplay()) GTEST_SKIP() << "needs an X display (run under xvfb-run -a)";
        ASSERT_TRUE(haveProgram("xdotool")) << "xdotool is not installed";
        root_ = std::make_unique<ScratchRoot>(builtPackage());
        ASSERT_TRUE(root_->ok()) << root_->error();
    }
    std::string at(const std::string& installed) const { return root_->path(installed); }

    std::unique_ptr<ScratchRoot> root_;
};

}  // namespace

TEST_F(InstalledPrograms, ServerAnswersThroughTheVirtualModemOnCom1) {
    const std::string driver = driverFileName();
    ASSERT_FALSE(driver.empty());
    const std::string link = at("usr/lib/orvo/ports/COM1");
    ChildProcess modem({at("usr/bin/vdev"), "--link", link});
    const std::optional<std::string> device = modem.readLine(10s);
    ASSERT_TRUE(device.has_value()) << "vdev printed no device path";

    const std::optional<int> portIndex = freeServerPortIndex();
    ASSERT_TRUE(portIndex.has_value()) << "TCP ports 3001 to 3008 are all taken";
    const int port = kFirstServerPort + *portIndex;

    ChildProcess server({at("usr/bin/orvo")});
    std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 30s);
    ASSERT_TRUE(setup.has_value()) << "no setup window";
    int width = 0, height = 0;
    ASSERT_TRUE(setup->size(width, height));
    // Ten equal rows, two columns: the lists on the right, the TCP port list
    // in row 8, "Start" at the right of row 10.
    const int right = width * 3 / 4;
    if (*portIndex > 0) {
        setup->click(right, height * 15 / 20);
        std::string keys = "xdotool key --delay 100";
        for (int i = 0; i < *portIndex; ++i) keys += " Down";
        keys += " Return";
        ASSERT_EQ(runCommand(keys, 30s).status, 0);
    }
    setup->click(right, height * 19 / 20);

    // The installed program loads the installed driver through its run path.
    const std::string driverName = driver.substr(3, driver.size() - 6);
    ASSERT_TRUE(server.waitForLine("SerialPort class loaded: " + driverName, 30s))
        << "console: " << ::testing::PrintToString(server.seen());
    std::optional<DesktopWindow> status = DesktopWindow::find("Orvo Server - Port " + std::to_string(port), 30s);
    ASSERT_TRUE(status.has_value()) << "no status window for port " << port;

    const std::unique_ptr<LineClient> client = LineClient::connectWithin(port, 30s, 15s);
    ASSERT_TRUE(client) << "the server does not listen on " << port;
    EXPECT_EQ(client->readLine(), "OK");
    client->send("AT");
    // "OK" CR LF from the modem behind COM1, in hexadecimal.
    EXPECT_EQ(client->readLine(), "4F4B0D0A");
    client->send("KILL");
    EXPECT_EQ(client->readLine(), "CLOSE");
    EXPECT_EQ(client->readLine(), std::nullopt);

    // Closing the status window ends the server with status 0.
    status->requestClose();
    EXPECT_EQ(server.wait(15s), std::optional<int>(0));
}

TEST_F(InstalledPrograms, ClientShowsItsWindowAndEndsWhenClosed) {
    ChildProcess client({at("usr/bin/kestrin")});
    std::optional<DesktopWindow> window = DesktopWindow::find("Kestrin Controls", 30s);
    ASSERT_TRUE(window.has_value()) << "no client window";
    // Every status text also goes to the console; the first is the prompt.
    EXPECT_TRUE(client.waitForLine("Please log in - type Host IP# above and hit 'Enter'", 15s))
        << ::testing::PrintToString(client.seen());
    window->requestClose();
    EXPECT_EQ(client.wait(15s), std::optional<int>(0));
}
