// The server program: the setup window first; "Start" creates the bridge
// controller, which opens the serial port and the status window.
#include <FL/Fl.H>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "ClientSocket.h"
#include "ConfigGUI.h"
#include "ExitSignals.h"
#include "LocalCAM.h"
#include "LocalGUI.h"
#include "Orvo.h"

namespace {

// The one controller, once "Start" has made it; it lives until the process
// ends. The exit paths reach it from the event thread and from the signal
// thread.
std::mutex controllerMutex;
std::unique_ptr<LocalCAM> controller;

// Every way out ends here. The serial port is closed first (once any exchange
// in progress is over), so its lock and exclusive use go back to the system
// even where another process keeps the device open. Then the process ends at
// once: a session thread may be inside a socket read, and running static
// destructors under it would pull the controller from beneath it.
[[noreturn]] void endProcess(int status)
{
    {
        std::lock_guard<std::mutex> lock(controllerMutex);
        if (controller) controller->ReleaseSerialPort();
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

// SIGTERM, SIGINT, SIGHUP: as closing the window, the client hears "CLOSE".
void endOnSignal(int)
{
    {
        std::lock_guard<std::mutex> lock(controllerMutex);
        if (std::shared_ptr<ClientSocket> session = LocalCAM::connectthread()) {
            if (session->connected()) session->Close();
        }
    }
    endProcess(0);
}

void createController(const std::string& cpname, int socketport, int baudrate, int dbits, int sbits,
                      const std::string& parity, const std::string& handshake, int dtr)
{
    std::lock_guard<std::mutex> lock(controllerMutex);
    controller = std::make_unique<LocalCAM>(
        cpname, socketport, baudrate, dbits, sbits, parity, handshake, dtr,
        [](int port, LocalCAM& lc) -> std::unique_ptr<StatusView> {
            return std::make_unique<LocalGUI>(port, lc, endProcess);
        });
}

}  // namespace

int Orvo::main(int, char**)
{
    // First of all, so that every thread started later leaves the signals
    // to it.
    static ExitSignals exitSignals(endOnSignal);
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
