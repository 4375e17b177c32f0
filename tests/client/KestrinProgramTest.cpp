// The real kestrin program on the (virtual) display: its window, its console
// and how closing the window ends it.
#include <gtest/gtest.h>
// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/NeedsDisplay.h"

using namespace std::chrono_literals;

namespace {

const std::string please = "Please log in - type Host IP# above and hit 'Enter'";

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

std::optional<long> windowPid(Display* display, Window window) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data) != Success)
        return std::nullopt;
    std::optional<long> pid;
    if (data != nullptr && items == 1 && format == 32) pid = *reinterpret_cast<long*>(data);
    if (data != nullptr) XFree(data);
    return pid;
}

// The mapped top-level window of process pid. Other tests may show windows
// with the same title on the same display at the same time, so the title
// alone does not tell which is ours.
Window findWindowOf(Display* display, pid_t pid) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (windowPid(display, children[i]) == pid && XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable)
            found = children[i];
    }
    if (children != nullptr) XFree(children);
    return found;
}

std::string titleOf(Display* display, Window window) {
    char* name = nullptr;
    std::string title;
    if (XFetchName(display, window, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

// What a window manager sends when the user clicks the close button.
void requestClose(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

TEST(KestrinProgram, ShowsItsWindowAndEndsWithStatusZeroWhenTheWindowIsClosed) {
    SKIP_WITHOUT_DISPLAY();
    DisplayPtr display(XOpenDisplay(nullptr));
    ASSERT_TRUE(display) << "cannot open the display";

    ChildProcess kestrin({programPath("kestrin")});
    // The prompt is printed once the window has been shown.
    ASSERT_TRUE(kestrin.waitForLine(please, 20s));
    Window window = 0;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while ((window = findWindowOf(display.get(), kestrin.pid())) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_NE(window, 0u) << "no window of the program appeared";
    EXPECT_EQ(titleOf(display.get(), window), "Kestrin Controls");
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display.get(), window, &attributes));
    EXPECT_EQ(attributes.width, 320);
    EXPECT_EQ(attributes.height, 272);

    requestClose(display.get(), window);
    // Not connected: the "KILL" cannot be sent, then the user's close.
    for (const std::string& line : {std::string("Can't Send Command - Not Connected"), std::string("FastClose!"),
                                    please, std::string("Local I/O and Socket Closed by User"), please}) {
        EXPECT_EQ(kestrin.readLine(20s), line);
    }
    EXPECT_EQ(kestrin.wait(20s), 0);
    EXPECT_EQ(kestrin.readLine(2s), std::nullopt) << "nothing after the close";
}

}  // namespace
