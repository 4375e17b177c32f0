#pragma once
// The SerOpenPort result for a failed CreateFile, from its GetLastError().
#include <windows.h>

#include <cstdint>

namespace sdrv {

int32_t openResultFor(DWORD error);

}  // namespace sdrv
