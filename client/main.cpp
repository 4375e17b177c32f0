// kestrin: the remote client. Without options it connects to an Orvo bridge
// server and exchanges lines with the serial device behind it, running until
// its window is closed. With options (--pty PATH --server HOST:PORT) it runs
// without a window as a local serial port: a pseudo-terminal that is the
// device behind an RFC 2217 server (see LocalPort.h).
#include <FL/Fl.H>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "client/KesCAM.h"
#include "client/Kestrin.h"
#include "client/LocalPort.h"
#include "client/LocalPortOptions.h"
#include "client/ui/KesGUI.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        // No window, no display: FLTK is never started.
        int status = 0;
        const std::optional<LocalPortOptions> options = ParseLocalPortOptions(argc, argv, std::cout, std::cerr, &status);
        if (!options) return status;
        return RunLocalPort(*options);
    }
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
