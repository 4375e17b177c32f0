#pragma once
// The address and port at one end of a TCP connection, IPv4 or IPv6. An IPv4
// client of a dual-stack listener arrives as an IPv4-mapped IPv6 address; it
// is taken as the IPv4 address it is, so that it reads and matches as one.
#include <optional>
#include <string>

#include "common/SocketApi.h"

class SocketAddress {
public:
    // The far end of a connected socket; nothing when the system cannot tell.
    static std::optional<SocketAddress> peerOf(SocketApi::Native socket);
    explicit SocketAddress(const sockaddr_storage& address);

    bool isV4() const { return family_ == AF_INET; }
    const in_addr& v4() const { return v4_; }
    const in6_addr& v6() const { return v6_; }
    int port() const { return port_; }

    // "192.0.2.7:5000" or "[2001:db8::1]:5000".
    std::string text() const;

private:
    int family_ = AF_UNSPEC;
    in_addr v4_{};
    in6_addr v6_{};
    int port_ = 0;
};
