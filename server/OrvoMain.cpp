// The server program `orvo`. Without --headless it starts the window program
// in its place (same process, same arguments); with it, it runs the bridge
// itself. So a bridge without windows never loads the window toolkit or the
// X libraries: it starts where none are installed, and stays small. A build
// without windows always runs the bridge itself.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "server/CommandLine.h"
#include "server/ExitSignals.h"
#include "server/Orvo.h"

#ifndef ORVO_WITHOUT_WINDOWS
namespace {

// The window program lies in the private library folder beside the serial
// driver: lib/orvo/ under the folder of bin/, in the build tree as installed.
std::string windowProgram() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "orvo-windows";
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../lib/orvo/orvo-windows";
}

}  // namespace
#endif

int Orvo::main(int argc, char** argv) {
    int status = 0;
    const std::optional<CommandLine> options = ParseCommandLine(argc, argv, std::cout, std::cerr, &status);
    if (!options) return status;
#ifndef ORVO_WITHOUT_WINDOWS
    if (!options->headless) {
        if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
            std::cerr << "orvo: no display to open the setup window on; without windows: orvo --headless\n";
            return 1;
        }
        const std::string program = windowProgram();
        ::execv(program.c_str(), argv);
        std::cerr << "orvo: the window program " << program << " did not start: " << std::strerror(errno)
                  << "; without windows: orvo --headless\n";
        return 1;
    }
#endif
    Orvo orvo(options->settings);
    // Before any other thread, so that every thread started later leaves
    // the signals to it.
    ExitSignals exitSignals([&orvo](int signal) { orvo.EndOnSignal(signal); });
    return orvo.RunHeadless();
}

int main(int argc, char** argv) { return Orvo::main(argc, argv); }
