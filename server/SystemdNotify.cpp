#include "server/SystemdNotify.h"

#include <systemd/sd-daemon.h>

void NotifySystemd(const std::string& state) {
    // Failures change nothing for the bridge: the manager only misses news.
    static_cast<void>(sd_notify(0, state.c_str()));
}
