#include "common/TcpListener.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "common/AddrInfo.h"
#include <utility>

TcpListener::TcpListener(TcpListener&& other) noexcept
    : fd_(std::move(other.fd_)), port_(std::exchange(other.port_, 0)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        fd_ = std::move(other.fd_);
        port_ = std::exchange(other.port_, 0);
    }
    return *this;
}

// One IPv6 socket with V6ONLY off takes IPv4 clients as mapped addresses; a
// host without IPv6 gets a plain IPv4 socket instead.
static UniqueFd bindAnyAddress(int port, int& boundPort) {
    const int on = 1;
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.valid()) {
        const int off = 0;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_any;
        addr.sin6_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            socklen_t len = sizeof addr;
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
            boundPort = ntohs(addr.sin6_port);
            return fd;
        }
        const int err = errno;
        fd.reset();
        if (err != EAFNOSUPPORT && err != EADDRNOTAVAIL) throw NetError(errnoText("bind", err));
    }
    fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) throw NetError(errnoText("socket", errno));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        throw NetError(errnoText("bind", errno));
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    return fd;
}

// The first address the name service gives for address that takes the bind.
static UniqueFd bindOneAddress(const std::string& address, int port, int& boundPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    AddrInfoList found;
    const int rc = lookupAddresses(address.c_str(), std::to_string(port).c_str(), hints, found);
    if (rc != 0) throw NetError("getaddrinfo " + address + ": " + ::gai_strerror(rc));
    int lastErr = EADDRNOTAVAIL;
    for (const addrinfo* ai = found.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd.valid()) {
            lastErr = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
            lastErr = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
        boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                                                : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
        return fd;
    }
    throw NetError(errnoText("bind " + address, lastErr));
}

TcpListener TcpListener::listen(int port, const std::string& address) {
    TcpListener listener;
    listener.fd_ = address.empty() ? bindAnyAddress(port, listener.port_) : bindOneAddress(address, port, listener.port_);
    if (::listen(listener.fd_.get(), SOMAXCONN) < 0) throw NetError(errnoText("listen", errno));
    return listener;
}

TcpSocket TcpListener::accept() {
    for (;;) {
        const int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return TcpSocket(fd);
        if (errno == EINTR || errno == ECONNABORTED) continue;
        throw NetError(errnoText("accept", errno));
    }
}

void TcpListener::shutdown() {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}
