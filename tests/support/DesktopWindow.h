#pragma once
// Drives a program's real window on the X display like a person would: finds
// it by its title, clicks in it, types into it, asks it to close. For tests
// that run whole programs under Xvfb (no window manager there).
#include <chrono>
#include <optional>
#include <string>
#include <vector>

class DesktopWindow {
public:
    // The first top-level window whose title begins with titlePrefix and
    // that is not one of except, waiting up to timeout for it to appear (and
    // be mapped).
    static std::optional<DesktopWindow> find(const std::string& titlePrefix, std::chrono::milliseconds timeout,
                                             const std::vector<unsigned long>& except = {});
    // The first mapped window of process pid (by its _NET_WM_PID), waiting
    // up to timeout: other programs may show windows with the same title on
    // the same display at the same time.
    static std::optional<DesktopWindow> findOf(long pid, std::chrono::milliseconds timeout);

    unsigned long id() const { return id_; }
    std::string title() const;
    // Width and height of the window's client area.
    bool size(int& width, int& height) const;

    // Moves the window's top-left corner to (x, y) of the screen; windows
    // without a window manager all open at the same place.
    void moveTo(int x, int y) const;
    // A left click at (x, y) of the client area.
    void click(int x, int y) const;
    // Types text (then Enter when asked) into whatever has the keyboard
    // focus inside the window after a click at (x, y).
    void typeAt(int x, int y, const std::string& text, bool pressEnter) const;
    // The same over what the field at (x, y) holds: select all (Ctrl+A)
    // after the click, so the text typed replaces it.
    void replaceTextAt(int x, int y, const std::string& text, bool pressEnter) const;
    // The text of the field at (x, y), as a person would copy it: click,
    // select all (Ctrl+A), copy (Ctrl+C), then read the clipboard. Nothing
    // when the clipboard stays empty.
    std::optional<std::string> copyText(int x, int y) const;
    // What the close button of a title bar does: WM_DELETE_WINDOW.
    void requestClose() const;
    // Whether the window's program has handled everything sent to the window
    // before this call, waiting up to timeout: the drag-and-drop protocol
    // (XDND) has it answer a drag's position, after whatever came first.
    // False when no answer came (the window is gone, the program hangs).
    bool handledWhatCameBefore(std::chrono::milliseconds timeout) const;
    // Whether the window still exists and is mapped.
    bool isViewable() const;

    // Saves the window's image as a PNG (needs ImageMagick's import); false
    // when that fails.
    bool screenshot(const std::string& pngPath) const;

private:
    explicit DesktopWindow(unsigned long id) : id_(id) {}
    unsigned long id_;
};
