// The real kestrin program on the (virtual) display: its window, its console
// and how closing the window ends it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopWindow.h"
#include "tests/support/NeedsDisplay.h"

using namespace std::chrono_literals;

namespace {

const std::string please = "Please log in - type Host IP# above and hit 'Enter'";

TEST(KestrinProgram, ShowsItsWindowAndEndsWithStatusZeroWhenTheWindowIsClosed) {
    SKIP_WITHOUT_DISPLAY();
    ChildProcess kestrin({programPath("kestrin")});
    // The prompt is printed once the window has been shown.
    ASSERT_TRUE(kestrin.waitForLine(please, 20s));
    const std::optional<DesktopWindow> window = DesktopWindow::findOf(kestrin.pid(), 20s);
    ASSERT_TRUE(window) << "no window of the program appeared";
    EXPECT_EQ(window->title(), "Kestrin Controls");
    int width = 0, height = 0;
    ASSERT_TRUE(window->size(width, height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 272);

    window->requestClose();
    // Not connected: the "KILL" cannot be sent, then the user's close.
    for (const std::string& line : {std::string("Can't Send Command - Not Connected"), std::string("FastClose!"),
                                    please, std::string("Local I/O and Socket Closed by User"), please}) {
        EXPECT_EQ(kestrin.readLine(20s), line);
    }
    EXPECT_EQ(kestrin.wait(20s), 0);
    EXPECT_EQ(kestrin.readLine(2s), std::nullopt) << "nothing after the close";
}

}  // namespace
