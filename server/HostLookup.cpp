#include "server/HostLookup.h"

#include <climits>
#include <vector>

#include "common/AddrInfo.h"
#include "common/SocketApi.h"

namespace {

std::string numericText(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {0};
    const void* raw = nullptr;
    if (sa->sa_family == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr;
    } else if (sa->sa_family == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    } else {
        return {};
    }
    if (::inet_ntop(sa->sa_family, raw, text, sizeof text) == nullptr) return {};
    return text;
}

bool isLoopback(const sockaddr* sa) {
    if (sa->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127;
    }
    if (sa->sa_family == AF_INET6) {
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    }
    return false;
}

// Lower is better: IPv4 before IPv6, and for this host a reachable address
// before a loopback one.
int rank(const sockaddr* sa, bool avoidLoopback) {
    int r = sa->sa_family == AF_INET ? 0 : 1;
    if (avoidLoopback && isLoopback(sa)) r += 2;
    return r;
}

std::optional<std::string> resolve(const std::string& name, bool avoidLoopback) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfoList list;
    if (lookupAddresses(name.c_str(), nullptr, hints, list) != 0 || !list) return std::nullopt;
    const addrinfo* best = nullptr;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (best == nullptr || rank(ai->ai_addr, avoidLoopback) < rank(best->ai_addr, avoidLoopback)) best = ai;
    }
    if (best == nullptr) return std::nullopt;
    std::string text = numericText(best->ai_addr);
    if (text.empty()) return std::nullopt;
    if (avoidLoopback && isLoopback(best->ai_addr)) return std::nullopt;
    return text;
}

// A non-loopback address of one of this host's interfaces, IPv4 preferred.
std::optional<std::string> interfaceAddress() {
    IfAddrsList list;
    if (!listInterfaces(list)) return std::nullopt;
    std::string best;
    int bestRank = INT_MAX;
    for (const ifaddrs* it = list.get(); it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || isLoopback(it->ifa_addr)) continue;
        if (it->ifa_addr->sa_family != AF_INET && it->ifa_addr->sa_family != AF_INET6) continue;
        const int r = rank(it->ifa_addr, true);
        if (r < bestRank) {
            const std::string text = numericText(it->ifa_addr);
            if (!text.empty()) {
                best = text;
                bestRank = r;
            }
        }
    }
    if (best.empty()) return std::nullopt;
    return best;
}

bool isNumeric(const std::string& name) {
    in_addr v4{};
    in6_addr v6{};
    return ::inet_pton(AF_INET, name.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &v6) == 1;
}

}  // namespace

std::optional<InetAddress> LookupHost(const std::string& name) {
    if (name.empty()) {
        char host[256] = {0};
        SocketApi::startup();  // Winsock answers gethostname only once started
        if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
        const std::string hostName = host[0] != '\0' ? host : "localhost";
        // The host's own name may resolve to loopback only (a common
        // /etc/hosts entry); the interfaces then know the reachable address.
        if (auto address = resolve(hostName, true)) return InetAddress{hostName, *address};
        if (auto address = interfaceAddress()) return InetAddress{hostName, *address};
        if (auto address = resolve(hostName, false)) return InetAddress{hostName, *address};
        return InetAddress{hostName, "127.0.0.1"};
    }
    auto address = resolve(name, false);
    if (!address) return std::nullopt;
    // A numeric address is shown without a name: it was not looked up.
    return InetAddress{isNumeric(name) ? std::string() : name, *address};
}
