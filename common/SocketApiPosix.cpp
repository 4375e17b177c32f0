#include "common/SocketApi.h"

#include <fcntl.h>
#include <sys/time.h>

#include <cstring>

namespace SocketApi {

void startup() {}

int close(Native socket) {
    // Not retried on EINTR: Linux has released the descriptor even then, and
    // a retry could close one another thread just got.
    return ::close(socket);
}

int lastError() { return errno; }

std::string errorMessage(int err) { return std::strerror(err); }

Native openSocket(int family, int type, int protocol, bool nonBlocking) {
    return ::socket(family, type | kCloseOnExec | (nonBlocking ? SOCK_NONBLOCK : 0), protocol);
}

bool setBlocking(Native socket, bool blocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

// An interrupted connect goes on in the background like one in progress.
bool connectPending(int err) { return err == EINPROGRESS || err == EINTR; }

int waitConnected(Native socket, int timeoutMs) {
    pollfd pending{socket, POLLOUT, 0};
    return ::poll(&pending, 1, timeoutMs);
}

bool isTimeout(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

std::ptrdiff_t receive(Native socket, char* buf, std::size_t len) { return ::recv(socket, buf, len, 0); }

std::ptrdiff_t send(Native socket, const char* data, std::size_t len) {
    return ::send(socket, data, len, kNoSignal);
}

int shutdown(Native socket, int how) { return ::shutdown(socket, how); }

int poll(PollFd* fds, unsigned long count, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

int setTimeoutOption(Native socket, int option, long long ms) {
    if (ms < 0) return -1;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setOption(socket, SOL_SOCKET, option, tv);
}

int setKeepAlive(Native socket, int idleSeconds, int intervalSeconds, int probes) {
    const int on = 1;
    if (setOption(socket, SOL_SOCKET, SO_KEEPALIVE, on) < 0 ||
        setOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds) < 0 ||
        setOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds) < 0 ||
        setOption(socket, IPPROTO_TCP, TCP_KEEPCNT, probes) < 0) {
        return -1;
    }
    return 0;
}

int allowQuickRebind(Native socket) {
    const int on = 1;
    return setOption(socket, SOL_SOCKET, SO_REUSEADDR, on);
}

}  // namespace SocketApi
