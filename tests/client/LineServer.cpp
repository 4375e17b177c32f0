#include "LineServer.h"

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

int closedPort() {
    TcpListener listener = TcpListener::listen(0);
    return listener.port();
}
