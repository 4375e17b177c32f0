#include "common/TcpSocket.h"

#include <chrono>
#include <optional>

#include "common/AddrInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

// Connects a non-blocking socket, waiting for the handshake until the
// deadline (without one: for as long as the system tries). Returns 0 or the
// error.
int connectBy(SocketApi::Native socket, const addrinfo& ai, const std::optional<Clock::time_point>& deadline) {
    if (::connect(socket, ai.ai_addr, static_cast<SocketApi::AddrLen>(ai.ai_addrlen)) == 0) return 0;
    const int started = SocketApi::lastError();
    if (!SocketApi::connectPending(started)) return started;
    for (;;) {
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return SocketApi::kTimedOut;
            waitMs = static_cast<int>(left.count());
        }
        const int ready = SocketApi::waitConnected(socket, waitMs);
        if (ready > 0) break;
        if (ready < 0 && SocketApi::lastError() != SocketApi::kInterrupted) return SocketApi::lastError();
    }
    return SocketApi::pendingError(socket);
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
    if (rc != 0) throw NetError("getaddrinfo " + host + ": " + lookupErrorText(rc));
    const std::string what = "connect " + host + ":" + service;
    int lastErr = SocketApi::kConnectionRefused;
    for (const addrinfo* ai = addresses.get(); ai != nullptr; ai = ai->ai_next) {
        if (deadline && Clock::now() >= *deadline) {
            lastErr = SocketApi::kTimedOut;
            break;
        }
        TcpSocket socket(SocketApi::openSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol, true));
        if (!socket.valid()) {
            lastErr = SocketApi::lastError();
            continue;
        }
        lastErr = connectBy(socket.fd(), *ai, deadline);
        if (lastErr != 0) continue;
        // Every other use of the socket blocks, with its own time-outs.
        if (!SocketApi::setBlocking(socket.fd(), true)) {
            throw NetError(socketErrorText(what + ": " + SocketApi::kSetBlockingCall, SocketApi::lastError()));
        }
        return socket;
    }
    if (lastErr == SocketApi::kTimedOut) throw NetTimeout(socketErrorText(what, lastErr));
    throw NetError(socketErrorText(what, lastErr));
}

size_t TcpSocket::receive(char* buf, size_t len) {
    for (;;) {
        const std::ptrdiff_t n = SocketApi::receive(socket_.get(), buf, len);
        if (n >= 0) return static_cast<size_t>(n);
        const int err = SocketApi::lastError();
        if (err == SocketApi::kInterrupted) continue;
        if (SocketApi::isTimeout(err)) throw NetTimeout("recv: timed out");
        throw NetError(socketErrorText("recv", err));
    }
}

void TcpSocket::sendAll(const char* data, size_t len) {
    while (len > 0) {
        const std::ptrdiff_t n = SocketApi::send(socket_.get(), data, len);
        if (n < 0) {
            const int err = SocketApi::lastError();
            if (err == SocketApi::kInterrupted) continue;
            if (SocketApi::isTimeout(err)) throw NetTimeout("send: timed out");
            throw NetError(socketErrorText("send", err));
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void TcpSocket::setReceiveTimeout(int ms) { setReceiveTimeout(std::chrono::milliseconds(ms)); }

void TcpSocket::setReceiveTimeout(std::chrono::milliseconds timeout) {
    if (SocketApi::setTimeoutOption(socket_.get(), SO_RCVTIMEO, timeout.count()) < 0) {
        throw NetError(socketErrorText("setsockopt SO_RCVTIMEO", SocketApi::lastError()));
    }
}

void TcpSocket::setSendTimeout(int ms) {
    if (SocketApi::setTimeoutOption(socket_.get(), SO_SNDTIMEO, ms) < 0) {
        throw NetError(socketErrorText("setsockopt SO_SNDTIMEO", SocketApi::lastError()));
    }
}

void TcpSocket::enableKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
    if (SocketApi::setKeepAlive(socket_.get(), idleSeconds, intervalSeconds, probes) < 0) {
        throw NetError(socketErrorText("setsockopt keep-alive", SocketApi::lastError()));
    }
}

// shutdown() errors (ENOTCONN after the peer left) change nothing for callers.
void TcpSocket::shutdown() {
    if (socket_.valid()) static_cast<void>(SocketApi::shutdown(socket_.get(), SocketApi::kShutBoth));
}

void TcpSocket::shutdownWrite() {
    if (socket_.valid()) static_cast<void>(SocketApi::shutdown(socket_.get(), SocketApi::kShutWrite));
}

void TcpSocket::shutdownRead() {
    if (socket_.valid()) static_cast<void>(SocketApi::shutdown(socket_.get(), SocketApi::kShutRead));
}

void TcpSocket::setAbortiveClose() {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (socket_.valid() && SocketApi::setOption(socket_.get(), SOL_SOCKET, SO_LINGER, lg) < 0) {
        throw NetError(socketErrorText("setsockopt SO_LINGER", SocketApi::lastError()));
    }
}
