#include "common/SocketAddress.h"

#include <cstring>

std::optional<SocketAddress> SocketAddress::peerOf(SocketApi::Native socket) {
    sockaddr_storage address{};
    SocketApi::AddrLen length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return std::nullopt;
    return SocketAddress(address);
}

SocketAddress::SocketAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        family_ = AF_INET;
        v4_ = in.sin_addr;
        port_ = ntohs(in.sin_port);
        return;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    port_ = ntohs(in6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        family_ = AF_INET;
        std::memcpy(&v4_, in6.sin6_addr.s6_addr + 12, sizeof v4_);
    } else {
        family_ = AF_INET6;
        v6_ = in6.sin6_addr;
    }
}

std::string SocketAddress::text() const {
    char buffer[INET6_ADDRSTRLEN] = {0};
    if (isV4()) {
        ::inet_ntop(AF_INET, &v4_, buffer, sizeof buffer);
        return std::string(buffer) + ":" + std::to_string(port_);
    }
    ::inet_ntop(AF_INET6, &v6_, buffer, sizeof buffer);
    return "[" + std::string(buffer) + "]:" + std::to_string(port_);
}
