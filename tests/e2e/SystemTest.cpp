// The whole system as a person uses it: the real `orvo` started with "Start"
// and a virtual modem as COM1, and the real `kestrin` driven through its
// window on the same (virtual) display.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopWindow.h"
#include "tests/support/NeedsDisplay.h"

using namespace std::chrono_literals;

namespace {

// Kestrin's fields, client-area centres.
constexpr int txX = 155, txY = 65;         // "Transmit RS232 Data To Host"
constexpr int rxX = 155, rxY = 113;        // "Receive RS232 Data From Host"
constexpr int hostX = 190, hostY = 166;    // "Host IP"
constexpr int closeX = 245, closeY = 195;  // "Close Connection"

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_DISPLAY();
        modem.emplace(std::vector<std::string>{programPath("vdev"), "--link", portsDirectory() + "/COM1"});
        ASSERT_TRUE(modem->readLine(5s).has_value());
        orvo.emplace(std::vector<std::string>{programPath("orvo")});
        std::optional<DesktopWindow> setup = DesktopWindow::find("Orvo Setup", 15s);
        ASSERT_TRUE(setup.has_value());
        setup->click(187, 9 * 26 + 13);  // "Start"
        server = DesktopWindow::find("Orvo Server", 15s);
        ASSERT_TRUE(server.has_value());
    }

    // Starts a kestrin and waits for its window and its login prompt.
    std::pair<std::unique_ptr<ChildProcess>, DesktopWindow> startKestrin()
    {
        auto kestrin = std::make_unique<ChildProcess>(std::vector<std::string>{programPath("kestrin")});
        EXPECT_TRUE(kestrin->waitForLine("Please log in - type Host IP# above and hit 'Enter'", 15s));
        // A window of that title that no earlier kestrin has.
        std::optional<DesktopWindow> window = DesktopWindow::find("Kestrin Controls", 15s, kestrinWindows);
        if (!window) throw std::runtime_error("no new Kestrin Controls window");
        kestrinWindows.push_back(window->id());
        return {std::move(kestrin), *window};
    }

    std::optional<ChildProcess> modem;
    std::optional<ChildProcess> orvo;
    std::optional<DesktopWindow> server;
    std::vector<unsigned long> kestrinWindows;
};

TEST_F(SystemTest, KestrinLogsInSendsATSeesTheAnswerAndClosesBackToThePrompt)
{
    auto [kestrin, window] = startKestrin();
    window.typeAt(hostX, hostY, "", true);  // the field holds 127.0.0.1
    for (const char* line : {"Attempting LogIn", "Got Socket To Host", "Starting Input Thread",
                             "Checking Orvo server.  Please wait...", "Connected OK"})
        ASSERT_TRUE(kestrin->waitForLine(line, 15s)) << line;

    window.typeAt(txX, txY, "AT", true);
    // Until the field shows an answer, right or wrong: a wrong one fails now,
    // not after every copy the loop allows.
    std::optional<std::string> received;
    for (int i = 0; i < 50 && received.value_or("").empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        received = window.copyText(rxX, rxY);
    }
    EXPECT_EQ(received, "4F4B0D0A");

    window.click(closeX, closeY);
    EXPECT_TRUE(kestrin->waitForLine("Please log in - type Host IP# above and hit 'Enter'", 15s));
    window.requestClose();
    EXPECT_EQ(kestrin->wait(15s), 0);
}

TEST_F(SystemTest, ASecondKestrinIsToldTheServerIsBusy)
{
    auto [first, firstWindow] = startKestrin();
    firstWindow.typeAt(hostX, hostY, "", true);
    ASSERT_TRUE(first->waitForLine("Connected OK", 15s));

    auto [second, secondWindow] = startKestrin();
    secondWindow.moveTo(400, 300);  // beside the first, as a person would
    const auto asked = std::chrono::steady_clock::now();
    secondWindow.typeAt(hostX, hostY, "", true);
    ASSERT_TRUE(second->waitForLine("Orvo server is busy now.  Try later", 20s));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 9s) << "busy is reported after the 10 s greeting wait";
    EXPECT_TRUE(second->waitForLine("Please log in - type Host IP# above and hit 'Enter'", 15s));
    secondWindow.requestClose();
    EXPECT_EQ(second->wait(15s), 0);

    firstWindow.click(closeX, closeY);
    EXPECT_TRUE(first->waitForLine("Please log in - type Host IP# above and hit 'Enter'", 15s));
}

}  // namespace
