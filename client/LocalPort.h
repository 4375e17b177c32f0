#pragma once
// kestrin as a local serial port: a pseudo-terminal, linked under the name
// the options give, that is the serial device behind an Orvo bridge (or any
// RFC 2217 server). Each platform's part is in LocalPortPosix.cpp /
// LocalPortWindows.cpp.
#include "client/LocalPortOptions.h"

// Whether this platform has the local port: Linux has it (pseudo-terminals);
// on Windows a port programs can open needs a kernel driver.
bool LocalPortSupported();
// Why not, in one line, where it is not supported.
const char* LocalPortMissing();

// Call on the main thread before any other thread exists. Serves the port
// until SIGINT, SIGTERM or SIGHUP (status 0), or a failure (logged; 1).
int RunLocalPort(const LocalPortOptions& options);
