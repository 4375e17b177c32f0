#include "common/NetError.h"

#include <cstring>

#include "common/SocketApi.h"

std::string errnoText(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

std::string socketErrorText(const std::string& what, int err) {
    return what + ": " + SocketApi::errorMessage(err);
}
