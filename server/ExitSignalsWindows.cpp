#include "server/ExitSignals.h"

#include <windows.h>

#include <mutex>
#include <system_error>

namespace {

// The console calls its handlers without a context: the one set of exit
// actions lives here while an ExitSignals is alive.
std::mutex handlerMutex;
std::function<void(const char*)> handler;

const char* nameOf(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return "Ctrl+C";
        case CTRL_BREAK_EVENT: return "Ctrl+Break";
        case CTRL_CLOSE_EVENT: return "its console closing";
        default: return "the end of the session";
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    std::function<void(const char*)> action;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        action = handler;
    }
    if (!action) return FALSE;  // the system's default: end the process
    action(nameOf(event));
    return TRUE;
}

}  // namespace

ExitSignals::ExitSignals(std::function<void(const char* name)> onSignal) {
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handler = std::move(onSignal);
    }
    if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "SetConsoleCtrlHandler");
    }
}

ExitSignals::~ExitSignals() {
    static_cast<void>(::SetConsoleCtrlHandler(onConsoleEvent, FALSE));
    std::lock_guard<std::mutex> lock(handlerMutex);
    handler = nullptr;
}
