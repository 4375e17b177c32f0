#include "Serlib/drivers/win/OpenResult.h"

#include "Serlib/SerDriver.h"

namespace sdrv {

int32_t openResultFor(DWORD error) {
    switch (error) {
    // Another program has the port: Windows refuses a second opener of a
    // communications device with one of the first two. Wine running as a
    // user other than root reports a terminal another program holds
    // exclusively (TIOCEXCL) as a lock violation.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return SER_OPEN_IN_USE;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return SER_OPEN_NOT_VALID;
    default:
        return SER_ERRNO_BASE + static_cast<int32_t>(error);
    }
}

}  // namespace sdrv
