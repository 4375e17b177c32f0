#include "tests/support/DesktopWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The windows asked about belong to other programs and may be gone by
// then: a request that fails says so in its result, rather than ending the
// test program as Xlib's own handler would.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

DisplayPtr openDisplay()
{
    XSetErrorHandler(ignoreXError);
    return DisplayPtr(XOpenDisplay(nullptr));
}

std::string titleOf(Display* display, Window window)
{
    char* name = nullptr;
    std::string title;
    if (XFetchName(display, window, &name) && name) {
        title = name;
        XFree(name);
    }
    return title;
}

bool viewable(Display* display, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

std::optional<long> windowPid(Display* display, Window window)
{
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
    if (data && items == 1 && format == 32) pid = *reinterpret_cast<long*>(data);
    if (data) XFree(data);
    return pid;
}

using Matches = std::function<bool(Display*, Window)>;

// Depth-first over the window tree (with no window manager the programs'
// windows are children of the root): the first mapped window that matches.
Window search(Display* display, Window parent, const Matches& matches)
{
    Window root = 0, parentOut = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root, &parentOut, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        if (matches(display, children[i]) && viewable(display, children[i]))
            found = children[i];
        else
            found = search(display, children[i], matches);
    }
    if (children) XFree(children);
    return found;
}

// The first window that matches, asking again until timeout has passed; 0
// when none did.
Window findWhere(const Matches& matches, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    // An X server that resets as its last client leaves refuses connections
    // for a moment.
    DisplayPtr display = openDisplay();
    while (!display && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        display = openDisplay();
    }
    if (!display) return 0;
    for (;;) {
        if (Window w = search(display.get(), DefaultRootWindow(display.get()), matches)) return w;
        if (std::chrono::steady_clock::now() > end) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

using EventMatches = std::function<bool(const XEvent&)>;

Bool eventMatches(Display*, XEvent* event, XPointer matches)
{
    return (*reinterpret_cast<EventMatches*>(matches))(*event) ? True : False;
}

// The next event that matches, waiting up to timeout.
std::optional<XEvent> awaitEvent(Display* display, EventMatches matches, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    XEvent event;
    while (!XCheckIfEvent(display, &event, eventMatches, reinterpret_cast<XPointer>(&matches))) {
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return event;
}

}  // namespace

std::optional<DesktopWindow> DesktopWindow::find(const std::string& titlePrefix, std::chrono::milliseconds timeout,
                                                 const std::vector<unsigned long>& except)
{
    const Window found = findWhere(
        [&](Display* display, Window window) {
            const std::string title = titleOf(display, window);
            return std::find(except.begin(), except.end(), window) == except.end() && !title.empty() &&
                   title.compare(0, titlePrefix.size(), titlePrefix) == 0;
        },
        timeout);
    return found ? std::optional<DesktopWindow>(DesktopWindow(found)) : std::nullopt;
}

std::optional<DesktopWindow> DesktopWindow::findOf(long pid, std::chrono::milliseconds timeout)
{
    const Window found =
        findWhere([pid](Display* display, Window window) { return windowPid(display, window) == pid; }, timeout);
    return found ? std::optional<DesktopWindow>(DesktopWindow(found)) : std::nullopt;
}

std::string DesktopWindow::title() const
{
    DisplayPtr display = openDisplay();
    return display ? titleOf(display.get(), id_) : std::string();
}

bool DesktopWindow::size(int& width, int& height) const
{
    DisplayPtr display = openDisplay();
    XWindowAttributes attributes;
    if (!display || !XGetWindowAttributes(display.get(), id_, &attributes)) return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

bool DesktopWindow::isViewable() const
{
    DisplayPtr display = openDisplay();
    return display && viewable(display.get(), id_);
}

void DesktopWindow::moveTo(int x, int y) const
{
    run("xdotool windowmove --sync " + std::to_string(id_) + " " + std::to_string(x) + " " + std::to_string(y));
}

void DesktopWindow::click(int x, int y) const
{
    run("xdotool mousemove --sync --window " + std::to_string(id_) + " " + std::to_string(x) + " " +
        std::to_string(y) + " click 1");
}

void DesktopWindow::typeAt(int x, int y, const std::string& text, bool pressEnter) const
{
    click(x, y);
    if (!text.empty()) run("xdotool type --delay 20 -- " + shellQuoted(text));
    if (pressEnter) run("xdotool key Return");
}

void DesktopWindow::replaceTextAt(int x, int y, const std::string& text, bool pressEnter) const
{
    click(x, y);
    // Typed at once: another click would end the selection.
    run("xdotool key ctrl+a");
    if (!text.empty()) run("xdotool type --delay 20 -- " + shellQuoted(text));
    if (pressEnter) run("xdotool key Return");
}

namespace {

// Asks the clipboard's owner for its text and waits for the answer.
std::optional<std::string> readClipboard(std::chrono::milliseconds timeout)
{
    DisplayPtr display = openDisplay();
    if (!display) return std::nullopt;
    Display* d = display.get();
    const Window requestor = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom property = XInternAtom(d, "ORVO_TEST_CLIPBOARD", False);
    XConvertSelection(d, clipboard, utf8, property, requestor, CurrentTime);
    XFlush(d);
    std::optional<std::string> text;
    const std::optional<XEvent> answer = awaitEvent(
        d, [&](const XEvent& e) { return e.type == SelectionNotify && e.xselection.requestor == requestor; },
        timeout);
    if (answer && answer->xselection.property != None) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, remaining = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, requestor, property, 0, 65536, True, AnyPropertyType, &type, &format, &items,
                               &remaining, &data) == Success &&
            data) {
            text = std::string(reinterpret_cast<char*>(data), items);
            XFree(data);
        }
    }
    XDestroyWindow(d, requestor);
    return text;
}

}  // namespace

std::optional<std::string> DesktopWindow::copyText(int x, int y) const
{
    click(x, y);
    run("xdotool key ctrl+a ctrl+c");
    return readClipboard(std::chrono::milliseconds(2000));
}

bool DesktopWindow::handledWhatCameBefore(std::chrono::milliseconds timeout) const
{
    DisplayPtr display = openDisplay();
    if (!display) return false;
    Display* d = display.get();
    // Told when the window goes, so that a program that closed it is not
    // waited for.
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, id_, &attributes)) return false;
    XSelectInput(d, id_, StructureNotifyMask);
    const Window source = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const auto send = [&](const char* type, long l1, long l2, long l3, long l4) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = id_;
        event.xclient.message_type = XInternAtom(d, type, False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(source);
        event.xclient.data.l[1] = l1;
        event.xclient.data.l[2] = l2;
        event.xclient.data.l[3] = l3;
        event.xclient.data.l[4] = l4;
        XSendEvent(d, id_, False, NoEventMask, &event);
    };
    // A drag of text that enters the window and moves far outside its
    // widgets, so that none of them takes it; then it leaves again.
    send("XdndEnter", 5L << 24, static_cast<long>(XInternAtom(d, "text/plain", False)), 0, 0);
    send("XdndPosition", 0, (0x7fffL << 16) | 0x7fff, CurrentTime,
         static_cast<long>(XInternAtom(d, "XdndActionCopy", False)));
    XFlush(d);
    const Atom status = XInternAtom(d, "XdndStatus", False);
    const std::optional<XEvent> answer = awaitEvent(
        d,
        [&](const XEvent& e) {
            return (e.type == ClientMessage && e.xclient.window == source && e.xclient.message_type == status) ||
                   ((e.type == UnmapNotify || e.type == DestroyNotify) && e.xany.window == id_);
        },
        timeout);
    send("XdndLeave", 0, 0, 0, 0);
    XDestroyWindow(d, source);
    XSync(d, False);
    return answer && answer->type == ClientMessage;
}

void DesktopWindow::requestClose() const
{
    DisplayPtr display = openDisplay();
    if (!display) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = id_;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display.get(), id_, False, NoEventMask, &event);
    XFlush(display.get());
}

bool DesktopWindow::screenshot(const std::string& pngPath) const
{
    return run("import -window " + std::to_string(id_) + " " + shellQuoted(pngPath) + " 2>/dev/null");
}
