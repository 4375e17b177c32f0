// The server with its windows: the setup window first; "Start" creates the
// bridge controller, which opens the serial port and the status window. orvo
// runs this for everything but --headless, with the same arguments: on
// Windows in its own process, elsewhere as the program orvo-windows, so that
// the bridge without windows loads none of the window toolkit.
#include <FL/Fl.H>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <memory>
#include <mutex>

#include "server/CommandLine.h"
#include "server/ui/ConfigGUI.h"
#include "server/ExitSignals.h"
#include "server/LocalCAM.h"
#include "server/ui/LocalGUI.h"
#include "server/Orvo.h"

int Orvo::RunWithWindows(int argc, char** argv)
{
    int status = 0;
    const std::optional<CommandLine> options = ParseCommandLine(argc, argv, std::cout, std::cerr, &status);
    if (!options) return status;
    Orvo orvo(options->settings);
    // Before any other thread, so that every thread started later leaves
    // the signals to it.
    ExitSignals exitSignals([&orvo](const char* name) { orvo.EndOnSignal(name); });
    // No window, no display: nothing of the window toolkit runs.
    if (options->headless) return orvo.RunHeadless();
    // Before any window or thread: on Unix this sets up FLTK's wake-up pipe
    // that worker threads use to reach the event thread.
    Fl::lock();
    orvo.init();
    Fl::run();
    orvo.EndProcess(0);
}

void Orvo::init()
{
    // FLTK owns its windows; the dialog deletes itself on "Start".
    new ConfigGUI([this](const BridgeSettings& chosen) { CreateController(chosen); },
                  [this](int status) { EndProcess(status); }, settings_);
}

void Orvo::CreateController(const BridgeSettings& chosen)
{
    std::lock_guard<std::mutex> lock(controllerMutex_);
    LocalCAM::Dependencies dependencies;
    dependencies.makeView = [this](int port, LocalCAM& lc) -> std::unique_ptr<StatusView> {
        return std::make_unique<LocalGUI>(port, lc, [this](int status) { EndProcess(status); });
    };
    dependencies.makeSession = SessionsOf(chosen);
    controller_ = std::make_unique<LocalCAM>(chosen, chosen.tcpPort, std::move(dependencies), ControllerOptions(chosen));
}

