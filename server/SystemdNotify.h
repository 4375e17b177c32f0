#pragma once
// Tells the service manager how the service is doing, through libsystemd's
// sd_notify: "READY=1" once it serves, "STATUS=<text>" for its latest state.
// Nothing happens when the program was not started as a notifying service
// (no NOTIFY_SOCKET), or when libsystemd is not installed. Any thread.
#include <string>

void NotifySystemd(const std::string& state);
