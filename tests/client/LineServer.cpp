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
    : socket_(std::move(socket)),
      codec_({TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA},
             {TelnetCodec::OPTION_BINARY, TelnetCodec::OPTION_SGA, TelnetCodec::OPTION_COM_PORT}) {
    codec_.RequestRemote(TelnetCodec::OPTION_COM_PORT, true);
    const std::string out = codec_.TakeOutput();
    socket_.sendAll(out.data(), out.size());
}

void Rfc2217Peer::tell(uint8_t command, const std::string& value) {
    const std::string message = TelnetCodec::EncodeSubnegotiation(
        ComPortOption::OPTION, ComPortOption::Encode(ComPortOption::ServerCode(command), value));
    socket_.sendAll(message.data(), message.size());
}

void Rfc2217Peer::sendData(const std::string& bytes) {
    const std::string encoded = TelnetCodec::EncodeData(bytes.data(), bytes.size());
    socket_.sendAll(encoded.data(), encoded.size());
}

std::optional<std::string> Rfc2217Peer::next(uint8_t command, std::chrono::milliseconds timeout) {
    const auto find = [&] {
        for (auto it = commands_.begin(); it != commands_.end(); ++it) {
            if (it->code == command) return it;
        }
        return commands_.end();
    };
    if (!readUntil([&] { return find() != commands_.end(); }, timeout)) return std::nullopt;
    const auto it = find();
    std::string value = it->value;
    commands_.erase(it);
    return value;
}

bool Rfc2217Peer::dataCame(size_t n, std::chrono::milliseconds timeout) {
    return readUntil([&] { return data.size() >= n; }, timeout);
}

bool Rfc2217Peer::readUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (!done()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        socket_.setReceiveTimeout(left);
        size_t n = 0;
        try {
            n = socket_.receive(buffer, sizeof buffer);
        } catch (const NetError&) {
            return false;
        }
        if (n == 0) return false;
        codec_.Receive(buffer, n, *this);
        const std::string out = codec_.TakeOutput();
        if (!out.empty()) socket_.sendAll(out.data(), out.size());
    }
    return true;
}

void Rfc2217Peer::OnSubnegotiation(uint8_t option, const std::string& payload) {
    if (option != ComPortOption::OPTION) return;
    if (std::optional<ComPortOption::Message> message = ComPortOption::Parse(payload)) commands_.push_back(*message);
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
