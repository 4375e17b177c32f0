#include "tests/support/LineClient.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

#include "common/HexCodec.h"
#include "common/NetError.h"

namespace {

TcpSocket connectWithBuffer(int port, int receiveBuffer) {
    if (receiveBuffer <= 0) return TcpSocket::connect("127.0.0.1", port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw NetError(errnoText("socket", errno));
    TcpSocket socket(fd);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) < 0) {
        throw NetError(errnoText("setsockopt SO_RCVBUF", errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throw NetError(errnoText("connect", errno));
    return socket;
}

}  // namespace

LineClient::LineClient(int port, std::chrono::milliseconds receiveTimeout, int receiveBuffer)
    : LineClient(connectWithBuffer(port, receiveBuffer), receiveTimeout) {}

LineClient::LineClient(TcpSocket connected, std::chrono::milliseconds receiveTimeout)
    : socket_(std::move(connected)), reader_(socket_, 1 << 20) {
    socket_.setReceiveTimeout(static_cast<int>(receiveTimeout.count()));
    // A server that stops reading fails the test instead of holding it.
    socket_.setSendTimeout(20000);
}

std::unique_ptr<LineClient> LineClient::connectWithin(int port, std::chrono::milliseconds limit,
                                                      std::chrono::milliseconds receiveTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        try {
            return std::make_unique<LineClient>(TcpSocket::connect("127.0.0.1", port), receiveTimeout);
        } catch (const NetError&) {
            if (std::chrono::steady_clock::now() > deadline) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

void LineClient::send(const std::string& line) { sendRaw(line + "\n"); }

void LineClient::sendRaw(const std::string& bytes) { socket_.sendAll(bytes.data(), bytes.size()); }

std::optional<std::string> LineClient::readLine() {
    const LineReader::Result r = reader_.readLine();
    if (r.endOfStream()) return std::nullopt;
    return r.text;
}

std::string LineClient::readRawLine() {
    std::string bytes;
    char byte = 0;
    while (socket_.receive(&byte, 1) == 1) {
        bytes += byte;
        if (byte == '\n') break;
    }
    return bytes;
}

std::optional<std::string> LineClient::readLineOrEnd() {
    try {
        return readLine();
    } catch (const NetTimeout&) {
        throw;
    } catch (const NetError&) {
        return std::nullopt;
    }
}

bool LineClient::endsWithin() {
    try {
        return !readLine().has_value();
    } catch (const NetError&) {
        return false;
    }
}

bool LineClient::hasInput() {
    pollfd p{socket_.fd(), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

std::string hexOf(const std::string& bytes) {
    return HexCodec::BS2S(Bytes(bytes.begin(), bytes.end()), static_cast<int>(bytes.size()));
}
