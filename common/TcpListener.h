#pragma once
// A listening TCP socket on every local address, IPv6 and IPv4, with address
// reuse so that a restarted server can bind at once. accept() blocks in one
// thread; shutdown() from any thread makes it fail.
#include "TcpSocket.h"
#include "UniqueFd.h"

class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() = default;
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // port 0 asks the system for a free port; port() tells which. Raises NetError.
    static TcpListener listen(int port);

    int port() const { return port_; }
    bool valid() const { return fd_.valid(); }
    TcpSocket accept();  // raises NetError
    void shutdown();

private:
    UniqueFd fd_;
    int port_ = 0;
};
