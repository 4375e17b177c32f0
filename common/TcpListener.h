#pragma once
// A listening TCP socket, on every local address (IPv6 and IPv4) or on one,
// with address reuse so that a restarted server can bind at once. accept()
// blocks in one thread; shutdown() from any thread makes it fail.
#include <string>

#include "common/TcpSocket.h"
#include "common/UniqueSocket.h"

class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() = default;
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // port 0 asks the system for a free port; port() tells which. address
    // names the one local address to listen on (numeric or a host name);
    // empty means every one. Raises NetAddressMissing when that address is
    // not one of this host's (or the name does not resolve), NetError for
    // every other failure.
    static TcpListener listen(int port, const std::string& address = "");

    int port() const { return port_; }
    // Which clients can reach the socket: IPv4 ones (on an IPv4 address, or
    // as IPv4-mapped IPv6 on a dual-stack one), IPv6 ones.
    struct Families {
        bool v4;
        bool v6;
    };
    Families clientFamilies() const;
    // Whether a client has connected and waits to be accepted.
    bool clientWaiting() const;
    bool valid() const { return socket_.valid(); }
    TcpSocket accept();  // raises NetError
    void shutdown();

private:
    // What accept() and shutdown() need besides the socket. POSIX: nothing,
    // the socket's own shutdown ends a blocked accept. Winsock's shutdown()
    // leaves a blocked accept waiting, so accept() waits on the socket's
    // accept event and on the stop event shutdown() sets.
#ifdef _WIN32
    struct AcceptEvents {
        UniqueEvent acceptReady;
        UniqueEvent stop;
    };
#else
    struct AcceptEvents {};
#endif

    // Readies the listening socket for accept() (on Windows: its events);
    // raises NetError. It, accept() and shutdown() are the platform's own:
    // TcpListenerPosix.cpp / TcpListenerWindows.cpp.
    void prepareAccept();

    UniqueSocket socket_;
    int port_ = 0;
    AcceptEvents events_;
};
