#include "common/SocketApi.h"

// What both platforms do alike; the rest is in SocketApiPosix.cpp and
// SocketApiWindows.cpp.
namespace SocketApi {

int pendingError(Native socket) {
    int err = 0;
    if (getOption(socket, SOL_SOCKET, SO_ERROR, err) != 0) return lastError();
    return err;
}

}  // namespace SocketApi
