// The server program: the setup window first; "Start" creates the bridge
// controller, which opens the serial port and the status window.
#include <FL/Fl.H>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ConfigGUI.h"
#include "LocalCAM.h"
#include "LocalGUI.h"
#include "Orvo.h"

namespace {

// Ends the server at once. The client session thread may be inside a serial
// exchange or a socket read; running static destructors under it would pull
// the controller from beneath it. The kernel releases the serial port and the
// sockets, so only the console output needs flushing.
void endProcess(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

// The one controller; it lives until the process ends.
std::unique_ptr<LocalCAM> controller;

void createController(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
                      const std::string& parity, const std::string& handshake, int dtr)
{
    controller = std::make_unique<LocalCAM>(
        cpname, socketport, baudrate, dbits, sbits, parity, handshake, dtr,
        [](int port, LocalCAM& lc) -> std::unique_ptr<StatusView> {
            return std::make_unique<LocalGUI>(port, lc, endProcess);
        });
}

}  // namespace

int Orvo::main(int, char**)
{
    // Before any window or thread: on Unix this sets up FLTK's wake-up pipe
    // that worker threads use to reach the event thread.
    Fl::lock();
    Orvo orvo;
    orvo.init();
    Fl::run();
    endProcess(0);
    return 0;
}

void Orvo::init()
{
    // FLTK owns its windows; the dialog deletes itself on "Start".
    new ConfigGUI(createController, endProcess);
}

int main(int argc, char** argv) { return Orvo::main(argc, argv); }
