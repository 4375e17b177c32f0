// kestrin: the remote client. Connects to an Orvo bridge server and
// exchanges lines with the serial device behind it; runs until its window
// is closed.
#include <FL/Fl.H>

#include <cstdio>
#include <memory>

#include "client/KesCAM.h"
#include "client/Kestrin.h"
#include "client/ui/KesGUI.h"

int main() {
    // Before any window or thread: on X11 this sets up the wake-up pipe that
    // the receiver's window updates use.
    if (Fl::lock() != 0) {
        std::fputs("kestrin: FLTK has no thread support\n", stderr);
        return 1;
    }
    Kestrin kestrin;
    kestrin.init([](int sport, KesCAM& controller) { return std::make_shared<KesGUI>(sport, controller); });
    return Fl::run();
}
