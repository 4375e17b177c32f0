#include "TcpSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

std::string errnoText(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

TcpSocket::~TcpSocket() {
    if (fd_ >= 0) ::close(fd_);
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TcpSocket TcpSocket::connect(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) throw NetError("getaddrinfo " + host + ": " + ::gai_strerror(rc));
    int lastErr = ECONNREFUSED;
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        int r;
        do {
            r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            ::freeaddrinfo(found);
            return TcpSocket(fd);
        }
        lastErr = errno;
        ::close(fd);
    }
    ::freeaddrinfo(found);
    throw NetError(errnoText("connect " + host + ":" + service, lastErr));
}

size_t TcpSocket::receive(char* buf, size_t len) {
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, len, 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) throw NetTimeout("recv: timed out");
        throw NetError(errnoText("recv", errno));
    }
}

void TcpSocket::sendAll(const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) throw NetTimeout("send: timed out");
            throw NetError(errnoText("send", errno));
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

static void setTimeout(int fd, int option, int ms, const char* what) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) < 0) throw NetError(errnoText(what, errno));
}

void TcpSocket::setReceiveTimeout(int ms) { setTimeout(fd_, SO_RCVTIMEO, ms, "setsockopt SO_RCVTIMEO"); }

void TcpSocket::setSendTimeout(int ms) { setTimeout(fd_, SO_SNDTIMEO, ms, "setsockopt SO_SNDTIMEO"); }

void TcpSocket::enableKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
    const int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) < 0 ||
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) < 0 ||
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0) {
        throw NetError(errnoText("setsockopt keep-alive", errno));
    }
}

// shutdown() errors (ENOTCONN after the peer left) change nothing for callers.
void TcpSocket::shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void TcpSocket::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TcpSocket::shutdownRead() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RD);
}

void TcpSocket::setAbortiveClose() {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) < 0) {
        throw NetError(errnoText("setsockopt SO_LINGER", errno));
    }
}
