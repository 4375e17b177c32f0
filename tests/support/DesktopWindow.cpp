#include "tests/support/DesktopWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay() { return DisplayPtr(XOpenDisplay(nullptr)); }

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

// Depth-first over the window tree (with no window manager the programs'
// windows are children of the root).
Window search(Display* display, Window parent, const std::string& prefix, const std::vector<unsigned long>& except)
{
    Window root = 0, parentOut = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root, &parentOut, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        const std::string title = titleOf(display, children[i]);
        const bool excluded = std::find(except.begin(), except.end(), children[i]) != except.end();
        if (!excluded && !title.empty() && title.compare(0, prefix.size(), prefix) == 0 &&
            viewable(display, children[i]))
            found = children[i];
        else
            found = search(display, children[i], prefix, except);
    }
    if (children) XFree(children);
    return found;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

std::optional<DesktopWindow> DesktopWindow::find(const std::string& titlePrefix, std::chrono::milliseconds timeout,
                                                 const std::vector<unsigned long>& except)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    // An X server that resets as its last client leaves refuses connections
    // for a moment.
    DisplayPtr display = openDisplay();
    while (!display && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        display = openDisplay();
    }
    if (!display) return std::nullopt;
    for (;;) {
        if (Window w = search(display.get(), DefaultRootWindow(display.get()), titlePrefix, except)) return DesktopWindow(w);
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
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
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        XEvent event;
        if (!XCheckTypedWindowEvent(d, requestor, SelectionNotify, &event)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (event.xselection.property == None) break;
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
        break;
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
