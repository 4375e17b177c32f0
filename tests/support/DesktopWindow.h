#pragma once
// Drives a program's real window on the X display like a person would: finds
// it by its title, clicks in it, types into it, asks it to close. For tests
// that run whole programs under Xvfb (no window manager there).
#include <chrono>
#include <optional>
#include <string>

class DesktopWindow {
public:
    // The first top-level window whose title begins with titlePrefix, waiting
    // up to timeout for it to appear (and be mapped).
    static std::optional<DesktopWindow> find(const std::string& titlePrefix, std::chrono::milliseconds timeout);

    unsigned long id() const { return id_; }
    std::string title() const;
    // Width and height of the window's client area.
    bool size(int& width, int& height) const;

    // A left click at (x, y) of the client area.
    void click(int x, int y) const;
    // Types text (then Enter when asked) into whatever has the keyboard
    // focus inside the window after a click at (x, y).
    void typeAt(int x, int y, const std::string& text, bool pressEnter) const;
    // What the close button of a title bar does: WM_DELETE_WINDOW.
    void requestClose() const;
    // Whether the window still exists and is mapped.
    bool isViewable() const;

    // Saves the window's image as a PNG (needs ImageMagick's import); false
    // when that fails.
    bool screenshot(const std::string& pngPath) const;

private:
    explicit DesktopWindow(unsigned long id) : id_(id) {}
    unsigned long id_;
};
