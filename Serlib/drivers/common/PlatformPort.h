#pragma once
// The port of the platform being built, which the port table holds: one
// open device, its name (PortName, resolvePortName)
// and its operations.
#ifdef _WIN32
#include "Serlib/drivers/win/Port.h"
#else
#include "Serlib/drivers/posix/Port.h"
#endif
