#pragma once
// The owner of one Win32 handle, a device or an event (see UniqueResource).
#include <windows.h>

#include "common/UniqueResource.h"

namespace sdrv {

struct HandleTraits {
    using Native = HANDLE;
    static Native invalid() { return nullptr; }
    // CreateFile fails with INVALID_HANDLE_VALUE, CreateEvent with null.
    static bool valid(Native handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void close(Native handle) { ::CloseHandle(handle); }
};

using UniqueHandle = UniqueResource<HandleTraits>;

}  // namespace sdrv
