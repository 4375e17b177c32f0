#pragma once
// The client program's class-wide values and its start-up.
#include <memory>
#include <string>

#include "client/KesView.h"

class KesCAM;

class Kestrin {
public:
    static constexpr int w = 320;          // window width in pixels
    static constexpr int h = 412;          // initial window height in pixels
    static constexpr int fontheight = 13;  // the window font's point size

    // The running controller, once init() has run; owned by the Kestrin
    // object. For code that is handed no controller.
    static KesCAM* kescam();

    Kestrin();
    ~Kestrin();
    Kestrin(const Kestrin&) = delete;
    Kestrin& operator=(const Kestrin&) = delete;

    // Event thread, after Fl::lock(): builds the controller, which builds and
    // shows the window through makeView and shows the login prompt.
    void init(const KesViewFactory& makeView);

    // One console line, flushed at once so that a reader of the program's
    // output sees each status as it happens. Any thread.
    static void OutLine(const std::string& s);

private:
    std::unique_ptr<KesCAM> controller_;
};
