#pragma once
// What differs between POSIX sockets and Winsock, in one place: the native
// socket type and its invalid value, closing, the last error and its text,
// the constants one side lacks, and the calls whose arguments differ. The
// socket classes reach the platform through these and the plain BSD calls
// both sides share (bind, listen, connect, getsockname, shutdown, ...).
// Including this header also brings in those calls' declarations. Each
// platform's calls are in SocketApiPosix.cpp / SocketApiWindows.cpp.
// Any thread.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>
#include <string>

namespace SocketApi {

#ifdef _WIN32
using Native = SOCKET;
constexpr Native kInvalid = INVALID_SOCKET;
using AddrLen = int;  // the length argument of bind, getsockname, ...
using PollFd = WSAPOLLFD;

constexpr int kShutBoth = SD_BOTH;
constexpr int kShutRead = SD_RECEIVE;
constexpr int kShutWrite = SD_SEND;
// Winsock raises no signal on a send to a closed connection.
constexpr int kNoSignal = 0;
// Winsock sockets have no close-on-exec flag.
constexpr int kCloseOnExec = 0;

constexpr int kInterrupted = WSAEINTR;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kConnectionRefused = WSAECONNREFUSED;
constexpr int kAddressNotAvailable = WSAEADDRNOTAVAIL;
constexpr int kFamilyNotSupported = WSAEAFNOSUPPORT;
// The call that switches blocking mode, as error messages name it.
constexpr const char* kSetBlockingCall = "ioctlsocket";
#else
using Native = int;
constexpr Native kInvalid = -1;
using AddrLen = socklen_t;
using PollFd = pollfd;

constexpr int kShutBoth = SHUT_RDWR;
constexpr int kShutRead = SHUT_RD;
constexpr int kShutWrite = SHUT_WR;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kCloseOnExec = SOCK_CLOEXEC;

constexpr int kInterrupted = EINTR;
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kConnectionRefused = ECONNREFUSED;
constexpr int kAddressNotAvailable = EADDRNOTAVAIL;
constexpr int kFamilyNotSupported = EAFNOSUPPORT;
constexpr const char* kSetBlockingCall = "fcntl";
#endif

// Starts the system's socket library once per process (Winsock:
// WSAStartup 2.2; nothing on POSIX). openSocket and the address lookups call
// it themselves; code that calls the system directly (gethostname, socket)
// calls it first.
void startup();

inline bool isValid(Native socket) {
#ifdef _WIN32
    return socket != INVALID_SOCKET;
#else
    return socket >= 0;
#endif
}

// Closes a socket (close / closesocket); 0 or -1 with lastError().
int close(Native socket);

// The error of this thread's last failed socket call (errno /
// WSAGetLastError()).
int lastError();

// The system's text for a socket error code, in English where the system has
// it, without a trailing full stop or line end; on Windows followed by the
// code ("... (10061)").
std::string errorMessage(int err);

// A new socket, non-blocking if asked; on POSIX closed in programs this one
// starts (kCloseOnExec). kInvalid and lastError() when it failed. Calls
// startup().
Native openSocket(int family, int type, int protocol, bool nonBlocking);

// Switches blocking mode; false and lastError() when it failed.
bool setBlocking(Native socket, bool blocking);

// Whether a non-blocking connect that failed with err goes on in the
// background (EINPROGRESS, or EINTR; WSAEWOULDBLOCK).
bool connectPending(int err);

// Waits up to timeoutMs (-1: without limit) for a pending connect to end
// either way: > 0 it ended (pendingError tells how), 0 time ran out, < 0
// error (lastError()).
int waitConnected(Native socket, int timeoutMs);

// SO_ERROR: 0 or why the pending connect failed; lastError() when the
// question itself failed.
int pendingError(Native socket);

// Whether a receive or send failed because the socket's time-out ran out
// (EAGAIN/EWOULDBLOCK; WSAETIMEDOUT).
bool isTimeout(int err);

// recv: bytes received, 0 at the end of the stream (also once the receiving
// side was shut down locally), < 0 error (lastError()).
std::ptrdiff_t receive(Native socket, char* buf, std::size_t len);
// send with kNoSignal: bytes sent, < 0 error (lastError()).
std::ptrdiff_t send(Native socket, const char* data, std::size_t len);

// Shuts down one or both directions (how: kShutBoth, kShutRead or
// kShutWrite). Once the receiving side is shut down, a receive blocked in
// another thread ends as the end of the stream: POSIX does that itself;
// Winsock's shutdown leaves the receive waiting, so the socket's pending
// calls are cancelled as well, and a send blocked at that moment fails.
// 0 or -1 with lastError().
int shutdown(Native socket, int how);

// poll / WSAPoll.
int poll(PollFd* fds, unsigned long count, int timeoutMs);

// SO_RCVTIMEO or SO_SNDTIMEO, 0 meaning none (a timeval on POSIX, a DWORD of
// milliseconds on Windows). 0, or -1 with lastError() (and -1 for a time
// that does not fit: negative, or beyond a DWORD).
int setTimeoutOption(Native socket, int option, long long ms);

// Keep-alive probes after idleSeconds without traffic, every
// intervalSeconds, the connection given up after probes unanswered ones.
// Windows before 10 (1703) has a fixed count of 10 probes. 0 or -1 with
// lastError().
int setKeepAlive(Native socket, int idleSeconds, int intervalSeconds, int probes);

// What lets a restarted server bind its port while connections of the last
// one are still in TIME_WAIT: SO_REUSEADDR on POSIX; on Windows nothing is
// needed, and SO_REUSEADDR there would let a second server take a port in
// use. 0 or -1 with lastError().
int allowQuickRebind(Native socket);

// setsockopt / getsockopt for one value of type T (Winsock takes char*,
// which POSIX's void* takes too).
template <typename T>
int setOption(Native socket, int level, int name, const T& value) {
    return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), static_cast<AddrLen>(sizeof value));
}

template <typename T>
int getOption(Native socket, int level, int name, T& value) {
    AddrLen len = static_cast<AddrLen>(sizeof value);
    return ::getsockopt(socket, level, name, reinterpret_cast<char*>(&value), &len);
}

}  // namespace SocketApi
