#include "common/TcpSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "common/AddrInfo.h"

std::string errnoText(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

namespace {

using Clock = std::chrono::steady_clock;

// Connects a non-blocking fd, waiting for the handshake until the deadline
// (without one: for as long as the system tries). Returns 0 or the error.
int connectBy(int fd, const addrinfo& ai, const std::optional<Clock::time_point>& deadline) {
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) return 0;
    // An interrupted connect goes on in the background like one in progress.
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    pollfd pending{fd, POLLOUT, 0};
    for (;;) {
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            waitMs = static_cast<int>(left.count());
        }
        const int ready = ::poll(&pending, 1, waitMs);
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return errno;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

}  // namespace

TcpSocket TcpSocket::connect(const std::string& host, int port, int timeoutMs) {
    std::optional<Clock::time_point> deadline;
    if (timeoutMs > 0) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    AddrInfoList addresses;
    const int rc = lookupAddresses(host.empty() ? nullptr : host.c_str(), service.c_str(), hints, addresses);
    if (rc != 0) throw NetError("getaddrinfo " + host + ": " + ::gai_strerror(rc));
    const std::string what = "connect " + host + ":" + service;
    int lastErr = ECONNREFUSED;
    for (const addrinfo* ai = addresses.get(); ai != nullptr; ai = ai->ai_next) {
        if (deadline && Clock::now() >= *deadline) {
            lastErr = ETIMEDOUT;
            break;
        }
        TcpSocket socket(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
        if (!socket.valid()) {
            lastErr = errno;
            continue;
        }
        lastErr = connectBy(socket.fd(), *ai, deadline);
        if (lastErr != 0) continue;
        // Every other use of the socket blocks, with its own time-outs.
        const int flags = ::fcntl(socket.fd(), F_GETFL);
        if (flags < 0 || ::fcntl(socket.fd(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
            throw NetError(errnoText(what + ": fcntl", errno));
        }
        return socket;
    }
    if (lastErr == ETIMEDOUT) throw NetTimeout(errnoText(what, lastErr));
    throw NetError(errnoText(what, lastErr));
}

size_t TcpSocket::receive(char* buf, size_t len) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buf, len, 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) throw NetTimeout("recv: timed out");
        throw NetError(errnoText("recv", errno));
    }
}

void TcpSocket::sendAll(const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd_.get(), data, len, MSG_NOSIGNAL);
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

void TcpSocket::setReceiveTimeout(int ms) { setTimeout(fd_.get(), SO_RCVTIMEO, ms, "setsockopt SO_RCVTIMEO"); }

void TcpSocket::setSendTimeout(int ms) { setTimeout(fd_.get(), SO_SNDTIMEO, ms, "setsockopt SO_SNDTIMEO"); }

void TcpSocket::enableKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
    const int on = 1;
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) < 0 ||
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) < 0 ||
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0) {
        throw NetError(errnoText("setsockopt keep-alive", errno));
    }
}

// shutdown() errors (ENOTCONN after the peer left) change nothing for callers.
void TcpSocket::shutdown() {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}

void TcpSocket::shutdownWrite() {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_WR);
}

void TcpSocket::shutdownRead() {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RD);
}

void TcpSocket::setAbortiveClose() {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (fd_.valid() && ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg) < 0) {
        throw NetError(errnoText("setsockopt SO_LINGER", errno));
    }
}
