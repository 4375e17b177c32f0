#include "tests/client/LineServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

ServerPeer::ServerPeer(TcpSocket socket) : socket_(std::move(socket)), reader_(socket_), writer_(socket_, "\r\n") {}

void ServerPeer::send(const std::string& line) { writer_.writeLine(line); }

std::optional<std::string> ServerPeer::readLine(std::chrono::milliseconds timeout) {
    socket_.setReceiveTimeout(static_cast<int>(timeout.count()));
    LineReader::Result result = reader_.readLine();
    if (result.endOfStream()) return std::nullopt;
    return result.text;
}

void ServerPeer::close() { socket_ = TcpSocket(); }

void ServerPeer::abort() {
    socket_.setAbortiveClose();
    socket_ = TcpSocket();
}

Rfc2217Peer::Rfc2217Peer(TcpSocket socket)
    : peer_(std::move(socket), TelnetClient::Side::Server), data(peer_.data) {}

void Rfc2217Peer::tell(uint8_t command, const std::string& value) {
    peer_.command(ComPortOption::Encode(ComPortOption::ServerCode(command), value));
}

bool Rfc2217Peer::dataCame(size_t n, std::chrono::milliseconds timeout) {
    return peer_.readUntil([&] { return data.size() >= n; }, timeout);
}

int closedPort() {
    TcpListener listener = TcpListener::listen(0);
    return listener.port();
}

FullQueueListener::FullQueueListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw NetError(errnoText("socket", errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd_, 0) < 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        const int err = errno;
        ::close(fd_);
        throw NetError(errnoText("full-queue listener", err));
    }
    port_ = ntohs(addr.sin_port);
    // Queue connections until one gets no answer: the queue is then full.
    // Linux queues one more than the backlog; a few more allow for others.
    for (int i = 0; i < 8; ++i) {
        try {
            queued_.push_back(TcpSocket::connect("127.0.0.1", port_, 300));
        } catch (const NetTimeout&) {
            return;
        }
    }
    ::close(fd_);
    throw NetError("full-queue listener: the queue did not fill");
}

FullQueueListener::~FullQueueListener() { ::close(fd_); }
