#include "server/SystemdNotify.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <cstdlib>

namespace {

using SdNotify = int (*)(int unsetEnvironment, const char* state);

// libsystemd's sd_notify, loaded the first time there is a manager to tell:
// a bridge that no service manager started does not carry the library (and
// the libraries it needs) in its memory.
SdNotify sdNotify() {
#ifdef _WIN32
    return nullptr;  // no systemd there
#else
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    return library ? reinterpret_cast<SdNotify>(::dlsym(library, "sd_notify")) : nullptr;
#endif
}

}  // namespace

void NotifySystemd(const std::string& state) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
    static const SdNotify notify = sdNotify();
    // Failures change nothing for the bridge: the manager only misses news.
    if (notify != nullptr) static_cast<void>(notify(0, state.c_str()));
}
