// The server program `orvo`. With --headless it runs the bridge itself.
// Without, it shows the windows: on Linux by starting the window program in
// its place (same process, same arguments), so that a bridge without windows
// never loads the window toolkit or the X libraries, starts where none are
// installed, and stays small; on Windows in its own process. A build without
// windows always runs the bridge itself.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#if !defined(ORVO_WITHOUT_WINDOWS) && !defined(ORVO_WINDOWS_IN_PROCESS)
#include <unistd.h>

#include <climits>
#endif

#include "server/CommandLine.h"
#include "server/ExitSignals.h"
#include "server/Orvo.h"

namespace {

#if !defined(ORVO_WITHOUT_WINDOWS) && !defined(ORVO_WINDOWS_IN_PROCESS)
// The window program lies in the private library folder beside the serial
// driver: lib/orvo/ under the folder of bin/, in the build tree as installed.
std::string windowProgram() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "orvo-windows";
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../lib/orvo/orvo-windows";
}
#endif

#ifndef ORVO_WITHOUT_WINDOWS
// Shows the windows; returns only when that cannot be done, with the status.
int RunWindows(int argc, char** argv) {
#if defined(ORVO_WINDOWS_IN_PROCESS)
    return Orvo::RunWithWindows(argc, argv);
#else
    static_cast<void>(argc);
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        std::cerr << "orvo: no display to open the setup window on; without windows: orvo --headless\n";
        return 1;
    }
    const std::string program = windowProgram();
    ::execv(program.c_str(), argv);
    std::cerr << "orvo: the window program " << program << " did not start: " << std::strerror(errno)
              << "; without windows: orvo --headless\n";
    return 1;
#endif
}
#endif

}  // namespace

int Orvo::main(int argc, char** argv) {
    int status = 0;
    const std::optional<CommandLine> options = ParseCommandLine(argc, argv, std::cout, std::cerr, &status);
    if (!options) return status;
#ifndef ORVO_WITHOUT_WINDOWS
    if (!options->headless) return RunWindows(argc, argv);
#endif
    Orvo orvo(options->settings);
    // Before any other thread, so that every thread started later leaves
    // the signals to it.
    ExitSignals exitSignals([&orvo](const char* name) { orvo.EndOnSignal(name); });
    return orvo.RunHeadless();
}

int main(int argc, char** argv) { return Orvo::main(argc, argv); }
