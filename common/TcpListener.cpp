#include "TcpListener.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
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

TcpListener TcpListener::listen(int port) {
    TcpListener listener;
    listener.fd_ = bindAnyAddress(port, listener.port_);
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
