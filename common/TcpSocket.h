#pragma once
// A connected TCP socket that owns its native socket (move-only; the socket
// is closed once, by the destructor). Any thread may call shutdown() to end a
// blocked receive in another thread; receive and send each from one thread.
#include <chrono>
#include <optional>
#include <string>

#include "common/ByteSource.h"
#include "common/NetError.h"
#include "common/SocketAddress.h"
#include "common/SocketApi.h"
#include "common/UniqueSocket.h"

class TcpSocket : public ByteSource {
public:
    TcpSocket() = default;
    // Takes over a socket made by the caller (who calls SocketApi::startup()
    // first on Windows).
    explicit TcpSocket(SocketApi::Native socket) : socket_(socket) {}
    ~TcpSocket() override = default;
    TcpSocket(TcpSocket&& other) noexcept = default;
    TcpSocket& operator=(TcpSocket&& other) noexcept = default;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (name or numeric, IPv4 or IPv6) and connects to the first
    // address that answers, all addresses together within timeoutMs (0: only
    // the system's own limit; name resolution is not bounded). The socket is
    // blocking. Raises NetError, NetTimeout when the time ran out.
    static TcpSocket connect(const std::string& host, int port, int timeoutMs = 0);

    bool valid() const { return socket_.valid(); }
    // The address and port of the far end; nothing when it cannot be told.
    std::optional<SocketAddress> peer() const { return SocketAddress::peerOf(socket_.get()); }
    // The native socket: a descriptor on POSIX, a SOCKET on Windows.
    SocketApi::Native fd() const { return socket_.get(); }

    size_t receive(char* buf, size_t len) override;
    // Sends every byte (retrying short writes and EINTR); raises NetError,
    // NetTimeout when the send time-out ran out. Never raises SIGPIPE.
    void sendAll(const char* data, size_t len);

    // 0 means no time-out. A time the system cannot take (beyond 49 days on
    // Windows) raises NetError rather than turning into another.
    void setReceiveTimeout(int ms);
    void setReceiveTimeout(std::chrono::milliseconds timeout);
    void setSendTimeout(int ms);
    // Probes an idle peer so that a vanished one is noticed. Windows before
    // 10 (1703) keeps its own count of probes (10).
    void enableKeepAlive(int idleSeconds, int intervalSeconds, int probes);

    // Ends both directions; wakes a receive blocked in another thread (as
    // the end of the stream). shutdownRead wakes it too. On Windows either
    // also makes a send blocked in another thread at that moment fail.
    void shutdown();
    void shutdownWrite();
    void shutdownRead();
    // Resets the connection (RST) when the socket is closed; tests use it.
    void setAbortiveClose();

private:
    UniqueSocket socket_;
};
