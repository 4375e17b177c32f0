// The real `orvo` program driven as a person would: its setup window on the
// (virtual) display, "Start" clicked, a TCP client on port 3001 and a virtual
// modem linked as COM1 in the build tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopWindow.h"
#include "tests/support/Elapsed.h"
#include "tests/support/LineClient.h"
#include "tests/support/NeedsDisplay.h"
#include "tests/support/Terminal.h"
#include "tests/support/ProcessState.h"

using namespace std::chrono_literals;

namespace {

// Centre of the setup window's grid cells (10 rows of 26, 2 columns of 125).
constexpr int quitX = 62, startX = 187, buttonRowY = 9 * 26 + 13;

TEST(OrvoProgram, StartBridgesTheModemOnPort3001AndClosingTheWindowEndsWithZero)
{
    SKIP_WITHOUT_DISPLAY();
    ChildProcess modem({programPath("vdev"), "--link", portsDirectory() + "/COM1"});
    ASSERT_TRUE(modem.readLine(5s).has_value());

    const auto launched = std::chrono::steady_clock::now();
    ChildProcess orvo({programPath("orvo")});
    std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 15s);
    ASSERT_TRUE(setup.has_value());
    std::cout << "start-up to the setup window: " << msSince(launched) << " ms" << std::endl;
    int width = 0, height = 0;
    ASSERT_TRUE(setup->size(width, height));
    EXPECT_EQ(width, 250);
    EXPECT_EQ(height, 260);
    EXPECT_FALSE(LineClient::connectWithin(3001, 0ms)) << "nothing listens before Start";

    setup->click(startX, buttonRowY);
    std::optional<DesktopWindow> status = DesktopWindow::find("Orvo Server", 15s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(status->size(width, height));
    EXPECT_EQ(width, 340);
    EXPECT_EQ(height, 299);

    const std::unique_ptr<LineClient> client = LineClient::connectWithin(3001, 10s, 10s);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->readLine(), "OK");
    client->send("AT");
    EXPECT_EQ(client->readLine(), "4F4B0D0A");
    std::cout << "resident memory with a client connected: " << residentKiB(orvo.pid()) << " KiB" << std::endl;
    client->send("KILL");
    EXPECT_EQ(client->readLine(), "CLOSE");
    EXPECT_EQ(client->readLine(), std::nullopt);

    status->requestClose();
    EXPECT_EQ(orvo.wait(15s), 0);
}

TEST(OrvoProgram, QuitEndsWithZeroAndOpensNothing)
{
    SKIP_WITHOUT_DISPLAY();
    ChildProcess orvo({programPath("orvo")});
    std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 15s);
    ASSERT_TRUE(setup.has_value());
    setup->requestClose();  // ignored: the dialog leaves only through its buttons
    EXPECT_TRUE(setup->handledWhatCameBefore(10s)) << "the program never took the close request";
    EXPECT_TRUE(setup->isViewable());
    setup->click(quitX, buttonRowY);
    EXPECT_EQ(orvo.wait(10s), 0);
    EXPECT_FALSE(LineClient::connectWithin(3001, 0ms));
}

}  // namespace

TEST(OrvoProgram, EveryWayOutTellsTheClientAndGivesThePortBack)
{
    SKIP_WITHOUT_DISPLAY();
    ChildProcess modem({programPath("vdev"), "--link", portsDirectory() + "/COM1"});
    ASSERT_TRUE(modem.readLine(5s).has_value());
    const std::string device = std::filesystem::read_symlink(portsDirectory() + "/COM1").string();

    for (const int way : {SIGTERM, SIGINT, SIGHUP, 0}) {
        const std::string name = way == 0 ? "closing the window" : strsignal(way);
        ChildProcess orvo({programPath("orvo")});
        std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 15s);
        ASSERT_TRUE(setup.has_value()) << name;
        setup->click(startX, buttonRowY);
        std::optional<DesktopWindow> status = DesktopWindow::find("Orvo Server", 15s);
        ASSERT_TRUE(status.has_value()) << name;
        const std::unique_ptr<LineClient> client = LineClient::connectWithin(3001, 10s, 10s);
        ASSERT_TRUE(client) << name;
        ASSERT_EQ(client->readLine(), "OK") << name;
        EXPECT_EQ(exclusiveUse(device), std::optional<bool>(true)) << "the running server holds the port";

        if (way == 0) {
            status->requestClose();
        } else {
            orvo.signal(way);
        }
        EXPECT_EQ(client->readLine(), "CLOSE") << name;
        EXPECT_EQ(orvo.wait(15s), 0) << name;
        EXPECT_EQ(exclusiveUse(device), std::optional<bool>(false)) << name;
    }
}
