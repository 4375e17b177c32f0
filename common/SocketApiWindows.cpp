#include "common/SocketApi.h"

#include <mstcpip.h>

#include <climits>

namespace SocketApi {

namespace {

// Winsock's own id of TCP_KEEPCNT (Windows 10 1703 and later), which this
// compiler's headers do not name yet.
constexpr int kTcpKeepCount = 16;

int clampedLength(std::size_t len) { return len > INT_MAX ? INT_MAX : static_cast<int>(len); }

// The text FormatMessageA gives for err in language; empty when it has none.
std::string systemMessage(int err, DWORD language) {
    char text[512] = {0};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(err), language, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

void startup() {
    // Once per process, by whichever thread comes first. Never undone:
    // sockets may be in use until the process ends, which releases Winsock.
    struct Winsock {
        Winsock() {
            WSADATA data;
            static_cast<void>(::WSAStartup(MAKEWORD(2, 2), &data));
        }
    };
    static const Winsock winsock;
    static_cast<void>(winsock);
}

int close(Native socket) { return ::closesocket(socket) == 0 ? 0 : -1; }

int lastError() { return ::WSAGetLastError(); }

std::string errorMessage(int err) {
    std::string message = systemMessage(err, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    // A system without English texts gives its own language.
    if (message.empty()) message = systemMessage(err, 0);
    if (message.empty()) return "error " + std::to_string(err);
    return message + " (" + std::to_string(err) + ")";
}

Native openSocket(int family, int type, int protocol, bool nonBlocking) {
    startup();
    // socket() makes overlapped sockets, which the receive and send
    // time-outs need.
    const Native socket = ::socket(family, type, protocol);
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    if (nonBlocking && !setBlocking(socket, false)) {
        const int err = lastError();
        ::closesocket(socket);
        ::WSASetLastError(err);
        return INVALID_SOCKET;
    }
    return socket;
}

bool setBlocking(Native socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool connectPending(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }

int waitConnected(Native socket, int timeoutMs) {
    // select rather than WSAPoll: WSAPoll does not report a refused connect
    // before Windows 10 (2004) and would wait out the whole time. A failed
    // connect shows in the exception set, a completed one in the write set.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    const int ready = ::select(0, nullptr, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
    return ready == SOCKET_ERROR ? -1 : ready;
}

bool isTimeout(int err) { return err == WSAETIMEDOUT; }

std::ptrdiff_t receive(Native socket, char* buf, std::size_t len) {
    const int n = ::recv(socket, buf, clampedLength(len), 0);
    if (n != SOCKET_ERROR) return n;
    const int err = ::WSAGetLastError();
    // Winsock fails a receive after a local shutdown of the receiving side,
    // where POSIX reports the end of the stream; both read as the end here.
    if (err == WSAESHUTDOWN) return 0;
    // Cancelled by shutdown() in another thread: asked again, it is the end.
    if (err == WSA_OPERATION_ABORTED) ::WSASetLastError(WSAEINTR);
    return SOCKET_ERROR;
}

std::ptrdiff_t send(Native socket, const char* data, std::size_t len) {
    const int n = ::send(socket, data, clampedLength(len), kNoSignal);
    // Without signals a send is interrupted only by a cancel, and how much
    // of it left is unknown: it must fail, not be sent again.
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEINTR) ::WSASetLastError(WSA_OPERATION_ABORTED);
    return n;
}

int shutdown(Native socket, int how) {
    const int rc = ::shutdown(socket, how) == 0 ? 0 : -1;
    if (how != SD_SEND) {
        // Only now: a receive that starts after the shutdown fails at once.
        // Nothing pending (ERROR_NOT_FOUND) is no failure.
        const int err = ::WSAGetLastError();
        static_cast<void>(::CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr));
        ::WSASetLastError(err);
    }
    return rc;
}

int poll(PollFd* fds, unsigned long count, int timeoutMs) { return ::WSAPoll(fds, count, timeoutMs); }

int setTimeoutOption(Native socket, int option, long long ms) {
    // Milliseconds in a DWORD, where 0 means none: a longer time is refused
    // rather than wrapped round to a short one.
    if (ms < 0 || ms > 0xFFFFFFFFLL) return -1;
    const DWORD value = static_cast<DWORD>(ms);
    return setOption(socket, SOL_SOCKET, option, value) == 0 ? 0 : -1;
}

int setKeepAlive(Native socket, int idleSeconds, int intervalSeconds, int probes) {
    const BOOL on = TRUE;
    if (setOption(socket, SOL_SOCKET, SO_KEEPALIVE, on) != 0) return -1;
    // Idle time and interval in milliseconds, on every Windows since 2000.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<u_long>(idleSeconds) * 1000;
    values.keepaliveinterval = static_cast<u_long>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) != 0) {
        return -1;
    }
    // Older Windows refuse a probe count and keep their own (10); the idle
    // time and interval above still hold, so a refusal is no failure.
    const DWORD count = static_cast<DWORD>(probes);
    static_cast<void>(setOption(socket, IPPROTO_TCP, kTcpKeepCount, count));
    return 0;
}

int allowQuickRebind(Native) { return 0; }

}  // namespace SocketApi
