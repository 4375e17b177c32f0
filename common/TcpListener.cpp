#include "common/TcpListener.h"

#include <string>
#include <utility>

#include "common/AddrInfo.h"

TcpListener::TcpListener(TcpListener&& other) noexcept
    : socket_(std::move(other.socket_)),
      port_(std::exchange(other.port_, 0)),
      events_(std::move(other.events_)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        socket_ = std::move(other.socket_);
        port_ = std::exchange(other.port_, 0);
        events_ = std::move(other.events_);
    }
    return *this;
}

namespace {

int portOf(const sockaddr_storage& bound) {
    return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
}

// The port the system gave a bound socket.
int boundPortOf(const UniqueSocket& socket) {
    sockaddr_storage bound{};
    SocketApi::AddrLen len = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        throw NetError(socketErrorText("getsockname", SocketApi::lastError()));
    }
    return portOf(bound);
}

// One IPv6 socket with V6ONLY off takes IPv4 clients as mapped addresses; a
// host without IPv6 gets a plain IPv4 socket instead.
UniqueSocket bindAnyAddress(int port, int& boundPort) {
    UniqueSocket socket(SocketApi::openSocket(AF_INET6, SOCK_STREAM, 0, false));
    if (socket.valid()) {
        const int off = 0;
        static_cast<void>(SocketApi::setOption(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, off));
        static_cast<void>(SocketApi::allowQuickRebind(socket.get()));
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_any;
        addr.sin6_port = htons(static_cast<uint16_t>(port));
        if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            boundPort = boundPortOf(socket);
            return socket;
        }
        const int err = SocketApi::lastError();
        socket.reset();
        if (err != SocketApi::kFamilyNotSupported && err != SocketApi::kAddressNotAvailable) {
            throw NetError(socketErrorText("bind", err));
        }
    }
    socket.reset(SocketApi::openSocket(AF_INET, SOCK_STREAM, 0, false));
    if (!socket.valid()) throw NetError(socketErrorText("socket", SocketApi::lastError()));
    static_cast<void>(SocketApi::allowQuickRebind(socket.get()));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw NetError(socketErrorText("bind", SocketApi::lastError()));
    }
    boundPort = boundPortOf(socket);
    return socket;
}

// The first address the name service gives for address that takes the bind.
UniqueSocket bindOneAddress(const std::string& address, int port, int& boundPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    AddrInfoList found;
    const int rc = lookupAddresses(address.c_str(), std::to_string(port).c_str(), hints, found);
    if (rc != 0) throw NetAddressMissing("getaddrinfo " + address + ": " + lookupErrorText(rc));
    int lastErr = SocketApi::kAddressNotAvailable;
    for (const addrinfo* ai = found.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueSocket socket(SocketApi::openSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol, false));
        if (!socket.valid()) {
            lastErr = SocketApi::lastError();
            continue;
        }
        static_cast<void>(SocketApi::allowQuickRebind(socket.get()));
        if (::bind(socket.get(), ai->ai_addr, static_cast<SocketApi::AddrLen>(ai->ai_addrlen)) != 0) {
            lastErr = SocketApi::lastError();
            continue;
        }
        boundPort = boundPortOf(socket);
        return socket;
    }
    if (lastErr == SocketApi::kAddressNotAvailable) {
        throw NetAddressMissing(socketErrorText("bind " + address, lastErr));
    }
    throw NetError(socketErrorText("bind " + address, lastErr));
}

}  // namespace

bool TcpListener::clientWaiting() const {
    SocketApi::PollFd waiting{};
    waiting.fd = socket_.get();
    waiting.events = POLLIN;
    return socket_.valid() && SocketApi::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
}

TcpListener::Families TcpListener::clientFamilies() const {
    sockaddr_storage bound{};
    SocketApi::AddrLen len = sizeof bound;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0) return {true, true};
    if (bound.ss_family == AF_INET) return {true, false};
    const in6_addr& address = reinterpret_cast<const sockaddr_in6&>(bound).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) return {true, false};
    if (!IN6_IS_ADDR_UNSPECIFIED(&address)) return {false, true};
    int v6only = 0;
    SocketApi::AddrLen optionLength = sizeof v6only;
    if (::getsockopt(socket_.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only), &optionLength) != 0) {
        return {true, true};
    }
    return {v6only == 0, true};
}

TcpListener TcpListener::listen(int port, const std::string& address) {
    TcpListener listener;
    listener.socket_ =
        address.empty() ? bindAnyAddress(port, listener.port_) : bindOneAddress(address, port, listener.port_);
    if (::listen(listener.socket_.get(), SOMAXCONN) != 0) {
        throw NetError(socketErrorText("listen", SocketApi::lastError()));
    }
    listener.prepareAccept();
    return listener;
}

