#include "server/InetAddress.h"

std::string InetAddressText(const std::optional<InetAddress>& a) {
    if (!a) return "null";
    return a->hostName + "/" + a->address;
}
