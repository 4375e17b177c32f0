#pragma once
// The driver of the platform being built, for the operations every driver
// exports alike (DriverExports.cpp): its line settings, how a function is
// exported, and its code for running out of memory.
#ifdef _WIN32
#include <windows.h>

#include "Serlib/drivers/win/LineSettings.h"
#include "Serlib/drivers/common/PortTable.h"

// Undecorated C names, the ones a program binds at run time (GetProcAddress)
// or links through the import library.
#define SDRV_EXPORT extern "C" __declspec(dllexport)

namespace sdrv {
constexpr int32_t kOutOfMemory = ERROR_NOT_ENOUGH_MEMORY;
}
#else
#include <cerrno>

#include "Serlib/drivers/posix/LineSettings.h"
#include "Serlib/drivers/common/PortTable.h"

#define SDRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace sdrv {
constexpr int32_t kOutOfMemory = ENOMEM;
}
#endif
